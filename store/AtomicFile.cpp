// Whole-file reads, and AtomicFileWriter: a sibling temporary file written,
// flushed and renamed over its target, or removed when it is discarded.
#include "store/AtomicFile.h"

#include <algorithm>

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFilePath(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolderPath(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // One block of the file's size: growing the string chunk by chunk would
    // copy a large file several times over.
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 30))
        bytes.reserve(static_cast<size_t>(size.QuadPart));
    bool ok = true;
    char chunk[65536];
    DWORD got = 0;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != FALSE) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return ok;
}

bool FlushFileToDisk(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(file) != FALSE;
    CloseHandle(file);
    return flushed;
}

AtomicFileWriter::AtomicFileWriter(std::wstring path) : m_path(std::move(path)), m_temporary(m_path + L".tmp") {}

AtomicFileWriter::AtomicFileWriter(std::wstring path, const wchar_t* suffix)
    : m_path(std::move(path)), m_temporary(m_path + suffix)
{
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Open()
{
    Discard();
    m_file = CreateFileW(m_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    m_size = 0;
    m_failed = m_file == INVALID_HANDLE_VALUE;
    return !m_failed;
}

bool AtomicFileWriter::OpenToAppend(uint64_t keep)
{
    Discard();
    m_file = CreateFileW(m_temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size = {};
    LARGE_INTEGER end = {};
    end.QuadPart = static_cast<LONGLONG>(keep);
    m_failed = m_file == INVALID_HANDLE_VALUE || !GetFileSizeEx(m_file, &size) ||
               static_cast<uint64_t>(size.QuadPart) < keep || !SetFilePointerEx(m_file, end, nullptr, FILE_BEGIN) ||
               !SetEndOfFile(m_file);
    m_size = keep;
    if (m_failed && m_file != INVALID_HANDLE_VALUE)
        Discard();
    return !m_failed;
}

bool AtomicFileWriter::Write(const char* data, size_t size)
{
    size_t written = 0;
    while (!m_failed && written < size) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - written, 1u << 24));
        DWORD done = 0;
        m_failed = !WriteFile(m_file, data + written, chunk, &done, nullptr) || done != chunk;
        written += done;
    }
    m_size += written;
    return !m_failed;
}

bool AtomicFileWriter::Commit()
{
    if (m_file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = FlushFileBuffers(m_file) && !m_failed;
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    // A read-only target (a copy of a read-only document) is replaced too.
    DWORD attributes = GetFileAttributesW(m_path.c_str());
    if (ok && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(m_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (ok && MoveFileExW(m_temporary.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(m_temporary.c_str());
    return false;
}

void AtomicFileWriter::Discard()
{
    if (m_file == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    DeleteFileW(m_temporary.c_str());
}

void AtomicFileWriter::Keep()
{
    if (m_file == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

bool ReplaceFileContent(const std::wstring& path, const char* data, size_t size)
{
    AtomicFileWriter writer(path);
    return writer.Open() && writer.Write(data, size) && writer.Commit();
}
