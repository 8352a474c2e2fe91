#include "install/Commands.h"

#include "net/HttpTransfer.h"
#include "store/Text.h"

#include <windows.h>

#include <shellapi.h>

#include <filesystem>

namespace fs = std::filesystem;

const char* const kKnownInvokeFiles[6][2] = {
    {"velkaro7", "invoke.vk7"}, {"dunmaro_hub", "invoke.dn7"}, {"tegora", "invoke.tgo"},
    {"farbello_nx", "invoke.frb"}, {"paquina", "invoke.pqa"}, {"zorvak", "invoke.zor"}};

std::vector<std::wstring> UninstallFiles(const SoftwareRecord& record, const LauncherState& state)
{
    std::vector<std::wstring> files;
    std::error_code error;
    fs::recursive_directory_iterator it(fs::path(WideFromUtf8(record.installedFolder)), error);
    // An error while walking ends the walk; what was found so far stays.
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code kind;
        if (!it->is_directory(kind))
            files.push_back(it->path().wstring());
    }
    files.push_back(WideFromUtf8(state.m_dataFolder + record.name + "invoke.dat"));
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
    options.progress = progress;
    if (!DownloadToFile(record.changelogAddress, copy, options) || (progress && progress->Cancelled()))
        return false;
    std::wstring folder = WideFromUtf8(record.installedFolder);
    ShellExecuteW(nullptr, L"open", WideFromUtf8(copy).c_str(), L"", folder.empty() ? nullptr : folder.c_str(),
                  SW_SHOWNORMAL);
    return true;
}
