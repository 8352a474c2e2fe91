// The entries file the maker publishes beside a program's archive: for every
// entry, where its local record lies, what its central record says and the
// SHA-256 of the record's bytes. With it an update can ask the server for
// only the records it will copy, and check each one.
#pragma once

#include "trelko_util/Unzipper.h"

#include <cstdint>
#include <string>
#include <vector>

/// One entry of the archive: its record's place and central facts, and the
/// SHA-256 (64 lower-case hex digits) of the record's bytes.
struct ArchiveEntry : EntryRecord {
    std::string sha256;
};

struct ArchiveEntries {
    uint64_t archiveSize = 0;
    std::vector<ArchiveEntry> entries;
};

/// The entries file's address: beside the archive, its name plus kEntriesSuffix.
extern const char* const kEntriesSuffix; // ".entries"
std::string EntriesAddressFor(const std::string& archiveAddress);

/// The text of an entries file: a first line "MORVINDEX-ENTRIES 1", then
/// "ARCHIVE <size>", then one line per entry: offset, length, compressed and
/// uncompressed size (decimal), CRC-32 and DOS date-time (8 hex digits each),
/// F for a file or D for a folder, the record's SHA-256, and the name (the
/// rest of the line), separated by single spaces, each line ending in LF.
std::string FormatEntriesFile(const ArchiveEntries& entries);

/// Reads FormatEntriesFile's text back; false for anything else (another
/// version, a malformed number, a record outside the archive, an empty name
/// or one with a control character).
bool ParseEntriesFile(const std::string& text, ArchiveEntries& entries);

/// What the entries file of the archive at path says; false when the library
/// would refuse the archive, an entry's sizes follow its data, or a record
/// cannot be read and hashed.
bool DescribeArchive(const std::wstring& path, ArchiveEntries& entries);
