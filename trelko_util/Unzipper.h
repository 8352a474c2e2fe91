// Extraction of zip archives into a folder, keeping each entry's time stamp,
// which the folder update compares with the installed copies.
#pragma once

#include <string>

/// True when an entry name can be written inside the extraction folder as it
/// is: not absolute, no drive letter, and every component a plain file name
/// (no "..", no device name, no trailing dot or space).
bool IsSafeEntryName(const std::string& name);

class CUnzipper {
public:
    CUnzipper() = default;
    virtual ~CUnzipper();
    CUnzipper(const CUnzipper&) = delete;
    CUnzipper& operator=(const CUnzipper&) = delete;

    /// Opens an archive (closing any open one); the output folder becomes the
    /// archive's full path without its extension.
    bool Open(const std::string& path);
    /// True when the open archive has entries and every entry name is safe.
    bool CheckEntries();
    /// Extracts every entry into folder (the output folder when empty).
    bool UnzipTo(const std::string& folder);
    void Close();

private:
    bool ExtractCurrent(const std::string& folder);

    void* m_archive = nullptr;
    char m_outputFolder[260] = {};
};

/// True when the library would accept the archive at path (wide, any code
/// page): it opens as a zip, has entries, and every entry is safe to extract.
/// The launcher checks cached archives with it, the publisher its packages.
bool IsAcceptableArchive(const std::wstring& path);

/// Opens archive, checks its entries and extracts it into folder.
bool UnzipArchive(const std::string& archive, const std::string& folder);
