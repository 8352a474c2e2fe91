// Extraction of zip archives into a folder, keeping each entry's time stamp,
// which the folder update compares with the installed copies.
#pragma once

#include "trelko_util/EntryNames.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

/// A file written by an extraction: its path and what its entry declares.
struct ExtractedFile {
    std::wstring path;
    unsigned long long size = 0;
    unsigned long crc = 0;
};

/// Where one entry lies in its archive and what its central record says.
struct EntryRecord {
    std::string name;  // UTF-8 as the library decodes it, "/" between folders
    bool folder = false;
    unsigned long dosDate = 0; // DOS date (high word) and time (low word)
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t offset = 0; // of the local record: header, name, extra field and data
    uint64_t length = 0;
};

class CUnzipper {
public:
    CUnzipper() = default;
    virtual ~CUnzipper();
    CUnzipper(const CUnzipper&) = delete;
    CUnzipper& operator=(const CUnzipper&) = delete;

    /// Opens an archive (closing any open one); the output folder becomes the
    /// archive's full path without its extension.
    bool Open(const std::wstring& path);
    /// True when the open archive has entries, every entry name is safe, and no
    /// entry's local header and data overlap another's (the way one small
    /// stream is made to stand for many large files). Records the declared
    /// total size.
    bool CheckEntries();
    /// Sum of the uncompressed sizes the entries declare (after CheckEntries);
    /// extraction never writes more.
    unsigned long long DeclaredSize() const { return m_declaredSize; }
    /// Extracts every entry into folder (the output folder when empty). An
    /// entry whose data do not inflate to exactly its declared size and CRC
    /// fails the extraction, and writing stops at the declared size.
    bool UnzipTo(const std::wstring& folder);
    /// Each entry's place and central record (after CheckEntries).
    bool ListRecords(std::vector<EntryRecord>& records);
    /// The files the last UnzipTo wrote, each with its entry's size and CRC-32
    /// (which the written data matched).
    const std::vector<ExtractedFile>& Extracted() const { return m_extracted; }
    void Close();

private:
    bool ExtractCurrent(const std::wstring& folder);

    void* m_archive = nullptr;
    std::wstring m_outputFolder;
    unsigned long long m_declaredSize = 0;
    std::vector<ExtractedFile> m_extracted;
};

/// True when the library would accept the archive at path before extracting
/// it: it opens as a zip, has entries, every entry name is safe and no entries
/// overlap. (The free space the update also asks for depends on its folders.)
/// The launcher checks cached archives with it, the publisher its packages.
bool IsAcceptableArchive(const std::wstring& path);

/// Opens archive, checks its entries and extracts it into folder.
bool UnzipArchive(const std::wstring& archive, const std::wstring& folder);

/// The entries of an archive the library accepts, in the central directory's
/// order. False as well for an entry whose sizes follow its data (general
/// purpose flag bit 3), whose record would then not end where its data do.
bool ListEntryRecords(const std::wstring& archive, std::vector<EntryRecord>& records);

/// The last-write time (UTC) extraction gives an entry with this DOS date and
/// time: local time under the daylight-saving rule of its own date.
bool EntryWriteTime(unsigned long dosDate, FILETIME& utc);
