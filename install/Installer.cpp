#include "install/Installer.h"

#include "install/InstalledState.h"
#include "net/HttpTransfer.h"
#include "resources/resource.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <boost/algorithm/string/split.hpp>

#include <atomic>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::atomic<bool> g_installBusy{false};

const SoftwareRecord* FindRecord(const LauncherState& state, const std::string& name)
{
    for (const SoftwareRecord& record : state.m_catalogue)
        if (record.name == name)
            return &record;
    return nullptr;
}

bool DownloadTwice(const std::string& url, const std::string& path, DownloadProgress& progress)
{
    DownloadOptions options;
    options.progress = &progress;
    // A download stopped on purpose is not tried again.
    return DownloadToFile(url, path, options) || (!progress.Cancelled() && DownloadToFile(url, path, options));
}

void MakeFolders(const std::string& folder)
{
    std::error_code error;
    fs::create_directories(fs::path(WideFromUtf8(folder)), error);
}

/// The text of the download error box: what failed and the archive's path.
std::wstring DownloadErrorText(const std::string& what, const std::string& path)
{
    static const char kFormat[] = "Error downloading: %s\n%s";
    std::vector<char> text(sizeof kFormat + what.size() + path.size());
    snprintf(text.data(), text.size(), kFormat, what.c_str(), path.c_str());
    return WideFromUtf8(text.data());
}

} // namespace

std::vector<std::string> SplitDependencies(const std::string& deps)
{
    std::vector<std::string> names;
    if (deps.empty())
        return names;
    boost::algorithm::split(names, deps, [](char c) { return c == ','; });
    return names;
}

bool CachedArchiveUsable(const std::string& path)
{
    std::error_code error;
    uintmax_t size = fs::file_size(fs::path(WideFromUtf8(path)), error);
    return !error && size >= 10;
}

bool InstallBusy() { return g_installBusy.load(); }

namespace {

void RunInstallation(LauncherState& state, const std::string& name, InstallHost& host)
{
    const SoftwareRecord* found = FindRecord(state, name);
    if (!found)
        return;
    const size_t recordIndex = static_cast<size_t>(found - state.m_catalogue.data());
    const std::vector<std::string> dependencies = SplitDependencies(found->dependencies);
    const int n = static_cast<int>(dependencies.size());
    host.SetProgressRange(0, 2 * n + 2);
    int step = 0;
    auto progressStep = [&] { host.SetProgressPos(step++); };

    std::vector<std::string> archives;
    for (int i = 0; i < n; ++i) {
        const std::string& dependency = dependencies[static_cast<size_t>(i)];
        progressStep();
        host.SetStatusText("Download dependencies... " + std::to_string(i) + "/" + std::to_string(n));
        MakeFolders(state.m_dataFolder + "deps\\");
        std::string archive = state.m_dataFolder + "deps\\" + dependency + ".zip";
        // A name that is no plain file name is as unknown as a missing one.
        const SoftwareRecord* package = IsSafeFileName(dependency) ? FindRecord(state, dependency) : nullptr;
        // A cached package archive is used whatever build the index now offers.
        bool ok = package && (CachedArchiveUsable(archive) || DownloadTwice(package->downloadAddress, archive, host));
        if (!ok || host.Cancelled()) {
            if (!host.Cancelled())
                host.ShowDownloadError(DownloadErrorText(dependency, archive), L"Download");
            host.SetStatusText("");
            return;
        }
        archives.push_back(archive);
    }

    progressStep();
    host.SetStatusText("Download application... ");
    MakeFolders(state.m_dataFolder + "apps_cache\\");
    std::string archive = state.m_dataFolder + "apps_cache\\" + name + ".zip";
    const std::string url = state.m_catalogue[recordIndex].downloadAddress;
    if (!DownloadTwice(url, archive, host) || host.Cancelled()) {
        if (!host.Cancelled())
            host.ShowDownloadError(DownloadErrorText(url, archive), L"Download");
        host.SetStatusText("");
        return;
    }
    archives.push_back(archive);

    const std::string folder = state.m_dataFolder + "apps\\" + name;
    MakeFolders(folder);
    const std::string staging = state.m_dataFolder + "morvindex_tmp";
    const int m = static_cast<int>(archives.size());
    int failures = 0;
    for (int i = 0; i < m; ++i) {
        progressStep();
        host.SetStatusText("Installing " + std::to_string(i) + "/" + std::to_string(m));
        if (!host.Synchronise(archives[static_cast<size_t>(i)], staging, folder))
            ++failures;
    }
    host.SetStatusText("");
    if (failures > 0) {
        // Most often a file of the program is in use: the program is open.
        host.Notify(host.Text(IDS_SYNC_FAILED), L"Installazione");
        return;
    }

    SoftwareRecord& record = state.m_catalogue[recordIndex];
    {
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        RecordInstalled(record, folder, state.m_settings, [&host] { return host.SaveInstalledState(); });
    }
    host.RefillList();
    // Nobody is there to answer once the window has gone.
    if (record.programToExecute.empty() || host.WindowGone())
        return;
    std::string launchFile = state.m_dataFolder + UpperAscii(name) + "invoke.dat";
    std::error_code error;
    if (!fs::exists(fs::path(WideFromUtf8(launchFile)), error))
        launchFile.clear();
    if (host.AskYesNo(host.Text(IDS_START_QUESTION), host.Text(IDS_UPDATE_CAPTION))) {
        bool updateRequested = false;
        LaunchProgram(launchFile, name, state, host, updateRequested);
    }
}

} // namespace

void InstallOrUpdate(LauncherState& state, const std::string& name, InstallHost& host)
{
    if (g_installBusy.exchange(true))
        return;
    struct ClearBusy {
        ~ClearBusy() { g_installBusy = false; }
    } clearBusy;
    // Nothing an archive, the disk or the network throws may end the program:
    // the installation simply failed, and the build stays as it was.
    try {
        RunInstallation(state, name, host);
    } catch (const std::exception& error) {
        host.SetStatusText("");
        host.ShowDownloadError(L"Installazione non riuscita: " + WideFromUtf8(error.what()), L"Installazione");
    }
}
