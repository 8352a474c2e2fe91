// The folders of an installation step: arguments, free space, emptying,
// folders added or replaced, and the step lock.
#include "trelko_util/StepFolders.h"

#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/InstallJournal.h"

#include <shlwapi.h>

namespace {

bool FullPathOf(const std::wstring& path, std::wstring& full)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    full.assign(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    return true;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The disk a folder will be on, and its free bytes for this user; the folder
// may not exist yet, so its nearest existing ancestor is asked.
bool DiskOf(const std::wstring& folder, std::wstring& volume, unsigned long long& freeBytes)
{
    std::wstring existing;
    if (!FullPathOf(folder, existing))
        return false;
    while (!IsFolderPath(existing)) {
        size_t separator = existing.find_last_of(L"\\/");
        if (separator == std::wstring::npos || separator == 0)
            return false;
        existing.resize(separator);
        if (existing.size() == 2 && existing[1] == L':')
            existing += L'\\';
    }
    if (!IsSeparator(existing.back()))
        existing += L'\\';
    ULARGE_INTEGER available;
    wchar_t root[MAX_PATH];
    if (!GetDiskFreeSpaceExW(existing.c_str(), &available, nullptr, nullptr) ||
        !GetVolumePathNameW(existing.c_str(), root, MAX_PATH))
        return false;
    volume = root;
    freeBytes = available.QuadPart;
    return true;
}

} // namespace

bool FitsFreeSpace(unsigned long long declaredSize, const std::wstring& staging, const std::wstring& destination)
{
    std::wstring stagingDisk, destinationDisk;
    unsigned long long stagingFree = 0, destinationFree = 0;
    if (!DiskOf(staging, stagingDisk, stagingFree) || !DiskOf(destination, destinationDisk, destinationFree))
        return false;
    if (SameFileName(stagingDisk, destinationDisk))
        return declaredSize <= stagingFree / 2;
    return declaredSize <= stagingFree && declaredSize <= destinationFree;
}

bool EmptyFilesBelow(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + name;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            ok = isFolder ? RemoveDirectoryW(path.c_str()) != FALSE : DeleteFileW(path.c_str()) != FALSE;
        } else if (isFolder) {
            ok = EmptyFilesBelow(path + L"\\");
        } else {
            // Only the read-only mark stops a deletion; clearing attributes on
            // every file cost as much again as the deletions themselves.
            if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = DeleteFileW(path.c_str()) != FALSE;
        }
    } while (ok && FindNextFileW(find, &data));
    FindClose(find);
    return ok;
}

void RemoveEmptiedFoldersBelow(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        RemoveEmptiedFoldersBelow(folder + L"\\" + name);
        RemoveDirectoryW((folder + L"\\" + name).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// A staging or destination argument must name a folder of its own. Emptying
// or filling a drive's root is never meant: "X:" becomes one once its "\" is
// added, and "X:" or "X:name" alone lean on the drive's current folder,
// which nobody chose. A folder that is itself a link would have its target
// emptied or written. Device forms (\\?\, \\.\) are no folders we make.
bool IsUsableFolderArgument(const std::wstring& argument)
{
    if (argument.empty())
        return false;
    if (argument.size() >= 2 && argument[1] == L':' && (argument.size() == 2 || !IsSeparator(argument[2])))
        return false;
    if (argument.size() >= 4 && IsSeparator(argument[0]) && IsSeparator(argument[1]) &&
        (argument[2] == L'?' || argument[2] == L'.') && IsSeparator(argument[3]))
        return false;
    std::wstring full;
    if (!FullPathOf(IsSeparator(argument.back()) ? argument : argument + L"\\", full) || PathIsRootW(full.c_str()))
        return false;
    while (!full.empty() && IsSeparator(full.back()))
        full.pop_back();
    DWORD attributes = GetFileAttributesW(full.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::vector<std::wstring> MissingFolders(const std::wstring& destination, const std::wstring& folder)
{
    std::vector<std::wstring> missing;
    std::wstring current = folder;
    while (current.size() > destination.size() && !IsFolderPath(current)) {
        missing.insert(missing.begin(), current.substr(destination.size() + 1));
        current.resize(current.find_last_of(L'\\'));
    }
    return missing;
}

bool OnlyEmptyFolders(const std::wstring& folder, const std::wstring& relative, std::vector<std::wstring>& emptyFolders)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    bool empty = true;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            empty = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    OnlyEmptyFolders(folder + L"\\" + name, relative + L"\\" + name, emptyFolders);
        } while (empty && FindNextFileW(find, &data));
        FindClose(find);
    }
    if (empty)
        emptyFolders.push_back(relative);
    return empty;
}

StepLock::StepLock(const std::wstring& staging, DWORD waitMs)
{
    std::wstring path = staging;
    while (!path.empty() && IsSeparator(path.back()))
        path.pop_back();
    path += kStepLockSuffix;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        m_file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (m_file != INVALID_HANDLE_VALUE)
            return;
        m_busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        if (!m_busy || GetTickCount64() - start >= waitMs)
            return;
        Sleep(50);
    }
}

StepLock::~StepLock()
{
    if (m_file != INVALID_HANDLE_VALUE)
        CloseHandle(m_file);
}
