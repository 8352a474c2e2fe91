// Whole files: reading one at once, and replacing one's whole content so
// that a reader sees either the old or the new file, never half of one.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

/// True when a file or folder is at path.
bool PathExists(const std::wstring& path);
/// True when path names a file (a folder) that exists.
bool IsFilePath(const std::wstring& path);
bool IsFolderPath(const std::wstring& path);

/// Every byte of the file at path (binary); false when it cannot be read.
bool ReadFileBytes(const std::wstring& path, std::string& bytes);

/// Writes what the system still holds of the file at path to the disk;
/// false when it cannot be opened for writing or flushed.
bool FlushFileToDisk(const std::wstring& path);

/// Writes a sibling temporary file ("<path>.tmp") piece by piece; Commit
/// flushes it and renames it over path, a read-only one too. The new file
/// has normal attributes. Until then path keeps its old content, and a
/// writer that is not committed removes its temporary file.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(std::wstring path);
    /// The temporary file is "<path>" + suffix instead.
    AtomicFileWriter(std::wstring path, const wchar_t* suffix);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    /// Creates the temporary file; false when it cannot be created.
    bool Open();
    /// Opens the temporary file that Keep left, keeping its first keep bytes
    /// and appending after them; false when it holds fewer.
    bool OpenToAppend(uint64_t keep);
    /// Appends bytes; false when they cannot all be written (a full disk).
    bool Write(const char* data, size_t size);
    uint64_t Size() const { return m_size; }
    /// True when path now holds what was written.
    bool Commit();
    /// Removes the temporary file; path keeps its old content.
    void Discard();
    /// Closes the temporary file and leaves it for OpenToAppend; path keeps
    /// its old content.
    void Keep();

private:
    std::wstring m_path;
    std::wstring m_temporary;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    uint64_t m_size = 0;
    bool m_failed = false;
};

/// Writes bytes to a sibling temporary file, flushes it and renames it over
/// path; the temporary file is removed on failure. False when path keeps its
/// old content.
bool ReplaceFileContent(const std::wstring& path, const char* data, size_t size);
inline bool ReplaceFileContent(const std::wstring& path, const std::string& bytes)
{
    return ReplaceFileContent(path, bytes.data(), bytes.size());
}
