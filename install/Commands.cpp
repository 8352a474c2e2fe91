// Uninstall, folder, command prompt and change log of one program.
#include "install/Commands.h"

#include "catalogue/Catalogue.h"
#include "environment/DataFolder.h"
#include "net/HttpTransfer.h"
#include "store/Text.h"

#include <windows.h>

#include <shellapi.h>

const char* const kKnownInvokeFiles[6][2] = {
    {"velkaro7", "invoke.vk7"}, {"dunmaro_hub", "invoke.dn7"}, {"tegora", "invoke.tgo"},
    {"farbello_nx", "invoke.frb"}, {"paquina", "invoke.pqa"}, {"zorvak", "invoke.zor"}};

namespace {

// Every file below folder, at any depth, without entering a reparse point: a
// folder link or junction may lead to the user's data on another disk, and
// only what lies really inside is ours to delete. A link is left as it is.
// A folder that cannot be listed ends the walk; what was found stays.
bool CollectFiles(const std::wstring& folder, std::vector<std::wstring>& files)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool whole = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                whole = CollectFiles(path, files);
        } else {
            files.push_back(path); // deleting a file link removes the link only
        }
    } while (whole && FindNextFileW(search, &found));
    FindClose(search);
    return whole;
}

} // namespace

std::vector<std::wstring> UninstallFiles(const SoftwareRecord& record, const LauncherState& state)
{
    std::vector<std::wstring> files;
    std::wstring folder = WideFromUtf8(record.installedFolder);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    // The installed folder itself moved elsewhere through a link is not entered either.
    const DWORD attributes = folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        CollectFiles(folder, files);
    files.push_back(LaunchFilePath(state.m_dataFolderW, record.name));
    for (const auto& known : kKnownInvokeFiles)
        files.push_back(WideFromUtf8(state.m_appDataRoot + "\\" + known[0] + "\\" + known[1]));
    return files;
}

bool Uninstall(SoftwareRecord& record, LauncherState& state, const SettingsSaver& save)
{
    if (record.installedFolder.empty())
        return false;
    for (const std::wstring& file : UninstallFiles(record, state)) {
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL); // installed read-only files go too
        DeleteFileW(file.c_str());
    }
    std::lock_guard<std::mutex> hold(state.m_recordsLock);
    RecordUninstalled(record, state.m_settings, save);
    return true;
}

void OpenProgramFolder(const SoftwareRecord& record)
{
    if (record.installedFolder.empty())
        return;
    std::wstring folder = WideFromUtf8(record.installedFolder);
    ShellExecuteW(nullptr, L"open", folder.c_str(), L"", folder.c_str(), SW_SHOWNORMAL);
}

void OpenCommandPrompt(const SoftwareRecord& record)
{
    if (record.installedFolder.empty())
        return;
    std::wstring folder = WideFromUtf8(record.installedFolder);
    ShellExecuteW(nullptr, L"open", L"cmd.exe", L"", folder.c_str(), SW_SHOWNORMAL);
}

bool ShowChangelog(const SoftwareRecord& record, const LauncherState& state, DownloadProgress* progress)
{
    std::string copy = state.m_dataFolder + "changelog.txt";
    DeleteFileW(WideFromUtf8(copy).c_str());
    DownloadOptions options;
    options.maxBytes = kChangelogLimit;
    options.deadlineMs = kChangelogDeadlineMs;
    options.progress = progress;
    // With the maker's key a change log is shown only as the signed index describes it.
    if (!ApplyFileCheck(record.changelogCheck, state.m_signaturesRequired, options))
        return false;
    if (!DownloadToFile(record.changelogAddress, copy, options) || (progress && progress->Cancelled()))
        return false;
    std::wstring folder = WideFromUtf8(record.installedFolder);
    ShellExecuteW(nullptr, L"open", WideFromUtf8(copy).c_str(), L"", folder.empty() ? nullptr : folder.c_str(),
                  SW_SHOWNORMAL);
    return true;
}
