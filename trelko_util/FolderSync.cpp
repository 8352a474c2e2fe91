#include "trelko_util/FolderSync.h"

#include "trelko_util/FileServices.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

namespace {

// Deletes every file below folder (which ends with "\"), leaving the
// subfolders; false at the first file that stays. A junction or link is
// removed itself and never entered: what it points to lies outside staging.
// One that cannot be removed fails the call, since extraction could write
// through it.
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
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = DeleteFileW(path.c_str()) != FALSE;
        }
    } while (ok && FindNextFileW(find, &data));
    FindClose(find);
    return ok;
}

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

// The disk a folder will be on, and its free bytes for this user; the folder
// may not exist yet, so its nearest existing ancestor is asked.
bool DiskOf(const std::wstring& folder, std::wstring& volume, unsigned long long& freeBytes)
{
    std::wstring existing;
    if (!FullPathOf(folder, existing))
        return false;
    while (!IsFolder(existing)) {
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

// Extraction writes the declared size into staging, and copying may write as
// much into the destination; a disk that holds both must hold both.
bool FitsFreeSpace(unsigned long long declaredSize, const std::wstring& staging, const std::wstring& destination)
{
    std::wstring stagingDisk, destinationDisk;
    unsigned long long stagingFree = 0, destinationFree = 0;
    if (!DiskOf(staging, stagingDisk, stagingFree) || !DiskOf(destination, destinationDisk, destinationFree))
        return false;
    if (lstrcmpiW(stagingDisk.c_str(), destinationDisk.c_str()) == 0)
        return declaredSize <= stagingFree / 2;
    return declaredSize <= stagingFree && declaredSize <= destinationFree;
}

struct PlannedCopy {
    std::wstring source;
    std::wstring targetFolder;
    std::wstring target;
};

} // namespace

bool XcopyCopier::CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder)
{
    std::wstring parameters = L"/k /r /y /v /h \"" + file + L"\" \"" + folder + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = L"xcopy";
    info.lpParameters = parameters.c_str();
    info.lpDirectory = workingFolder.c_str();
    info.nShow = SW_MINIMIZE;
    if (!ShellExecuteExW(&info) || !info.hProcess)
        return false;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 1;
    bool ok = GetExitCodeProcess(info.hProcess, &exitCode) && exitCode == 0;
    CloseHandle(info.hProcess);
    return ok;
}

std::wstring ExtractionFolderFor(const std::wstring& archive, const std::wstring& staging)
{
    std::wstring folder = staging;
    if (folder.empty() || folder.back() != L'\\')
        folder += L'\\';
    size_t slash = archive.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? archive : archive.substr(slash + 1);
    size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos)
        name.resize(dot);
    return folder + name;
}

bool UpdateFolderFromArchive(const std::wstring& archive, const std::wstring& stagingArgument,
                             const std::wstring& destinationArgument, bool compareContent, FileCopier& copier)
{
    if (!IsUsableFolderArgument(stagingArgument) || !IsUsableFolderArgument(destinationArgument))
        return false;
    if (!CanOpenForReading(archive))
        return false;

    std::wstring staging = stagingArgument;
    if (staging.back() != L'\\')
        staging += L'\\';
    std::wstring destination = destinationArgument;
    if (destination.back() == L'\\')
        destination.pop_back();

    // An archive that is no zip, has no entries, names a path outside the
    // extraction folder, overlaps its own entries or would not fit is refused
    // before anything is touched.
    CUnzipper unzipper;
    if (!unzipper.Open(archive) || !unzipper.CheckEntries() ||
        !FitsFreeSpace(unzipper.DeclaredSize(), staging, destination))
        return false;

    if (!IsFolder(staging)) {
        if (!CreateDirectoryW(staging.c_str(), nullptr))
            return false;
    } else if (!EmptyFilesBelow(staging)) {
        return false;
    }
    if (!IsFolder(destination) && !CreateDirectoryW(destination.c_str(), nullptr))
        return false;

    std::wstring extraction = ExtractionFolderFor(archive, staging);
    if (!unzipper.UnzipTo(extraction))
        return false;
    unzipper.Close();

    std::vector<ListedFile> files;
    std::wstring root = extraction + L"\\";
    ListFiles(root, L"*", true, files);
    std::vector<PlannedCopy> plan;
    for (const ListedFile& file : files) {
        std::wstring relative = file.first.substr(root.size()); // "" or "sub\dir\"
        PlannedCopy copy;
        copy.targetFolder =
            destination + (relative.empty() ? L"" : L"\\" + relative.substr(0, relative.size() - 1));
        copy.source = file.first + file.second;
        copy.target = copy.targetFolder + L"\\" + file.second;
        bool readable = CanOpenForReading(copy.target);
        long long difference = readable ? CompareFileTimes(copy.source, copy.target) : 0;
        bool differ = readable && difference == 0 && compareContent &&
                      FileFingerprint(copy.source) != FileFingerprint(copy.target);
        if (DecideCopy(readable, difference, compareContent, differ) == CopyDecision::Copy)
            plan.push_back(copy);
    }
    // Never half an update: a file that a running program holds would stop
    // the copies halfway, leaving a mix of two builds, so nothing is copied.
    for (const PlannedCopy& copy : plan)
        if (GetFileAttributesW(copy.target.c_str()) != INVALID_FILE_ATTRIBUTES && !CanReplaceNow(copy.target))
            return false;

    std::wstring readyFolder; // the last target folder known to exist
    for (const PlannedCopy& copy : plan) {
        // Files come folder by folder: each folder is looked at once.
        if (copy.targetFolder != readyFolder) {
            if (!IsFolder(copy.targetFolder) && !MakeFolderPath(copy.targetFolder))
                return false;
            readyFolder = copy.targetFolder;
        }
        if (!copier.CopyInto(copy.source, copy.targetFolder, staging))
            return false;
    }
    return true;
}
