// The small archive the partial update hands the library: the fetched local
// records, each checked against its entry in the maker's entries file, with a
// central directory of their own; and the check that the entries file says
// what the real archive's central directory says.
#pragma once

#include "format/ArchiveEntries.h"

#include <cstdint>
#include <string>
#include <vector>

/// The entry name as the library spells the extracted file: wide, "\\" between folders.
std::wstring WindowsName(const std::string& name);

/// Appends the low 16 or 32 bits of value, little-endian, as zip records hold numbers.
void Put16(std::string& out, uint32_t value);
void Put32(std::string& out, uint32_t value);

/// A zip archive holding the given local records byte for byte, each checked
/// against its entry (header, name, time, CRC-32, sizes, length), followed
/// by a central directory for them. False when a record does not match or
/// the archive would need zip64.
bool ZipOfRecords(const std::vector<const ArchiveEntry*>& entries, const std::vector<std::string>& records,
                  std::string& zip);

/// True when the archive's central directory, read from tail (the archive's
/// bytes from tailOffset to its end, the end record included), lists exactly
/// the entries of the map, each with the map's offset, name, DOS time,
/// CRC-32 and sizes.
bool EntriesMatchCentralDirectory(const ArchiveEntries& entries, uint64_t tailOffset, const std::string& tail);
