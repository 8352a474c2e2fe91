#include "trelko_util/FolderSync.h"

#include "trelko_util/FileServices.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

namespace {

std::wstring WideFromAnsi(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

// Deletes every file below folder (which ends with "\"), leaving the
// subfolders; false at the first file that stays. A junction or link is
// removed itself and never entered: what it points to lies outside staging.
// One that cannot be removed fails the call, since extraction could write
// through it.
bool EmptyFilesBelow(const std::string& folder)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    bool ok = true;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + name;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            ok = isFolder ? RemoveDirectoryA(path.c_str()) != FALSE : DeleteFileA(path.c_str()) != FALSE;
        } else if (isFolder) {
            ok = EmptyFilesBelow(path + "\\");
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = DeleteFileA(path.c_str()) != FALSE;
        }
    } while (ok && FindNextFileA(find, &data));
    FindClose(find);
    return ok;
}

// A staging or destination argument must name a folder below a drive: an
// empty one would become the current drive's root.
bool IsUsableFolderArgument(const std::string& path)
{
    if (path.empty())
        return false;
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full && !PathIsRootA(full);
}

bool ArchiveIsUsable(const std::string& archive)
{
    CUnzipper unzipper;
    return unzipper.Open(archive) && unzipper.CheckEntries();
}

} // namespace

bool XcopyCopier::CopyInto(const std::string& file, const std::string& folder, const std::string& workingFolder)
{
    std::wstring parameters = L"/k /r /y /v /h \"" + WideFromAnsi(file) + L"\" \"" + WideFromAnsi(folder) + L"\"";
    std::wstring directory = WideFromAnsi(workingFolder);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = L"xcopy";
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_MINIMIZE;
    if (!ShellExecuteExW(&info) || !info.hProcess)
        return false;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 1;
    bool ok = GetExitCodeProcess(info.hProcess, &exitCode) && exitCode == 0;
    CloseHandle(info.hProcess);
    return ok;
}

CopyDecision DecideCopy(bool targetReadable, long long sourceMinusTargetSeconds, bool compareContent,
                        bool fingerprintsDiffer)
{
    if (!targetReadable || sourceMinusTargetSeconds > 0)
        return CopyDecision::Copy;
    if (sourceMinusTargetSeconds < 0)
        return CopyDecision::Skip; // an installed file newer than the archive's stays
    return compareContent && fingerprintsDiffer ? CopyDecision::Copy : CopyDecision::Skip;
}

std::string ExtractionFolderFor(const std::string& archive, const std::string& staging)
{
    std::string folder = staging;
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';
    size_t slash = archive.find_last_of("\\/");
    std::string name = slash == std::string::npos ? archive : archive.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name.resize(dot);
    return folder + name;
}

bool UpdateFolderFromArchive(const std::string& archive, const std::string& stagingArgument,
                             const std::string& destinationArgument, bool compareContent, FileCopier& copier)
{
    if (!IsUsableFolderArgument(stagingArgument) || !IsUsableFolderArgument(destinationArgument))
        return false;
    if (!CanOpenForReading(archive))
        return false;
    // An archive that is no zip, has no entries or names a path outside the
    // extraction folder is refused before anything is touched.
    if (!ArchiveIsUsable(archive))
        return false;

    std::string staging = stagingArgument;
    if (staging.empty() || staging.back() != '\\')
        staging += '\\';
    std::string destination = destinationArgument;
    if (!destination.empty() && destination.back() == '\\')
        destination.pop_back();

    if (!IsFolder(staging)) {
        if (!CreateDirectoryA(staging.c_str(), nullptr))
            return false;
    } else if (!EmptyFilesBelow(staging)) {
        return false;
    }
    if (!IsFolder(destination) && !CreateDirectoryA(destination.c_str(), nullptr))
        return false;

    std::string extraction = ExtractionFolderFor(archive, staging);
    if (!UnzipArchive(archive, extraction))
        return false;

    std::vector<ListedFile> files;
    std::string root = extraction + "\\";
    ListFiles(root, "*", true, files);
    std::string readyFolder; // the last target folder known to exist
    for (const ListedFile& file : files) {
        std::string relative = file.first.substr(root.size()); // "" or "sub\dir\"
        std::string targetFolder = destination + (relative.empty() ? "" : "\\" + relative.substr(0, relative.size() - 1));
        std::string source = file.first + file.second;
        std::string target = targetFolder + "\\" + file.second;
        // Files come folder by folder: each folder is looked at once.
        if (targetFolder != readyFolder) {
            if (!IsFolder(targetFolder) && !MakeFolderPath(targetFolder))
                return false;
            readyFolder = targetFolder;
        }

        bool readable = CanOpenForReading(target);
        long long difference = readable ? CompareFileTimes(source, target) : 0;
        bool differ = readable && difference == 0 && compareContent && FileFingerprint(source) != FileFingerprint(target);
        if (DecideCopy(readable, difference, compareContent, differ) == CopyDecision::Skip)
            continue;
        if (!copier.CopyInto(source, targetFolder, staging))
            return false;
    }
    return true;
}
