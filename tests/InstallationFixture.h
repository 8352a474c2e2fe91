// The installation tests' fixture: a data folder, a loopback server serving
// files by path, a launcher state and a host that records what it is shown.
#pragma once

#include "install/Installer.h"
#include "install/Invocation.h"
#include "environment/SyncBinding.h"
#include "resources/resource.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

namespace testing_support {

// Records what an installation shows and answers its questions as scripted.
class RecordingHost : public InstallHost, public InvocationHost {
public:
    bool AskYesNo(const std::wstring& text, const std::wstring&) override
    {
        questions.push_back(text);
        return answerYes;
    }
    void Notify(const std::wstring& text, const std::wstring& caption) override
    {
        notices.push_back(text);
        noticeCaptions.push_back(caption);
    }
    bool ShellOpen(const std::wstring& file, const std::wstring& parameters, const std::wstring& folder) override
    {
        opened.push_back(file + L" " + parameters + L" in " + folder);
        return true;
    }
    std::wstring Text(unsigned id) override
    {
        return L"<" + std::to_wstring(id) + (id == IDS_START_REFUSED ? L":%s/%s>" : L":%s>");
    }
    void SetProgressRange(int low, int high) override { range = {low, high}; }
    void SetProgressPos(int position) override { positions.push_back(position); }
    void SetStatusText(const std::string& text) override
    {
        statuses.push_back(text);
        if (onStatus)
            onStatus();
    }
    void ShowDownloadError(const std::wstring& text, const std::wstring& caption) override
    {
        errors.push_back(caption + L": " + text);
    }
    void RefillList() override { ++refills; }
    bool SaveInstalledState() override { return ++saves > 0; }
    StepOutcome Synchronise(const std::vector<std::string>& archives, const std::string& staging,
                            const std::string& folder, bool repair, const std::string& tag,
                            const std::function<void(int)>& onArchive) override
    {
        if (cancelled)
            stop = 1;
        return SynchroniseArchives(archives, staging, folder, repair, &stop, tag, onArchive);
    }
    bool ConcludeSynchronisation(const std::string& staging, bool keep) override
    {
        conclusions.push_back(keep);
        return ConcludeArchiveStep(staging, keep);
    }
    bool WaitCatalogueReady() override { return true; }
    bool WaitInstallationEnd() override
    {
        ++installationWaits;
        if (onInstallationWait)
            onInstallationWait();
        return true;
    }
    void RequestInstall(const std::string& name) override { requestedInstall = name; }
    void Invalidate() override { ++invalidations; }
    void Received(uint64_t received, uint64_t total) override { bytes.emplace_back(received, total); }
    bool Cancelled() const override { return cancelled; }

    bool answerYes = false;
    std::function<void()> onStatus;
    std::function<void()> onInstallationWait;
    int installationWaits = 0;
    bool cancelled = false;
    volatile long stop = 0; // what the library reads between files
    std::vector<bool> conclusions;
    std::vector<std::wstring> questions, notices, noticeCaptions, opened, errors;
    std::vector<std::pair<uint64_t, uint64_t>> bytes;
    std::pair<int, int> range{-1, -1};
    std::vector<int> positions;
    std::vector<std::string> statuses;
    int refills = 0, saves = 0, invalidations = 0;
    std::string requestedInstall;
};

inline std::string ZipBytes(const TempDir& dir, const std::vector<ZipEntry>& entries)
{
    WriteZip(dir / L"fixture.zip", entries);
    return ReadBytes(dir / L"fixture.zip");
}

class Installation : public ::testing::Test {
protected:
    Installation()
        : server([this](const HttpRequest& request) { return StaticFiles(files)(request); })
    {
        state.m_dataFolder = data.Narrow();
        state.m_dataFolderW = data.Path();
        state.m_appDataRoot = data.Narrow().substr(0, data.Narrow().size() - 1);
        // Tests keep references to the records they add: no reallocation may move them.
        state.m_catalogue.reserve(16);
    }
    SoftwareRecord& Add(const std::string& name, int type, int build, const std::string& deps = "",
                        const std::string& execute = "")
    {
        SoftwareRecord record;
        record.name = name;
        record.type = type;
        record.availableBuild = build;
        record.dependencies = deps;
        record.programToExecute = execute;
        record.downloadAddress = server.Url("/" + name + ".zip");
        state.m_catalogue.push_back(record);
        return state.m_catalogue.back();
    }
    // A record installed in its own folder below scratch, holding its TO_EXECUTE file.
    SoftwareRecord& AddInstalled(const std::string& name, int available, int installed,
                                 const std::string& execute = "abc.exe")
    {
        SoftwareRecord& record = Add(name, 0, available, "", execute);
        record.installedBuild = installed;
        record.installedFolder = scratch.Narrow() + "apps\\" + name;
        std::filesystem::create_directories(std::filesystem::path(WideFromUtf8(record.installedFolder + "\\" + execute)).parent_path());
        WriteBytes(WideFromUtf8(record.installedFolder + "\\" + execute), "program");
        return record;
    }
    std::wstring InstalledFolder(const std::string& name) const { return scratch / WideFromUtf8("apps\\" + name); }
    int Downloads(const std::string& path) const
    {
        int count = 0;
        for (const HttpRequest& request : server.Requests())
            count += request.target == path;
        return count;
    }

    TempDir data, scratch;
    std::map<std::string, std::string> files;
    LoopbackServer server;
    LauncherState state;
    RecordingHost host;
};

} // namespace testing_support
