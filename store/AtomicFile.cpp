#include "store/AtomicFile.h"

#include <windows.h>

#include <algorithm>

bool ReplaceFileContent(const std::wstring& path, const char* data, size_t size)
{
    std::wstring temporary = path + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    size_t written = 0;
    while (ok && written < size) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - written, 1u << 24));
        DWORD done = 0;
        ok = WriteFile(file, data + written, chunk, &done, nullptr) && done == chunk;
        written += done;
    }
    ok = FlushFileBuffers(file) && ok;
    CloseHandle(file);
    if (ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(temporary.c_str());
    return false;
}
