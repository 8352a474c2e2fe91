// Start requests handed to the running MorvIndex.exe under Wine: documents,
// web requests, requests that cannot be removed, floods of activations.
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <tlhelp32.h>

#include <atomic>
#include <map>

using namespace testing_support;

namespace {
/// A launcher copy with ABC installed (the probe program, which counts its
/// starts in starts.log) at build installedBuild, the index offering
/// availableBuild; started and showing its list. With stallRepository the
/// repository download never gets an answer, and the list stays empty.
struct InstalledProbe {
    InstalledProbe(int installedBuild, int availableBuild, bool stallRepository = false,
                   const std::string& archive = std::string())
        : stall(stallRepository), server([this](const HttpRequest& request) { return Serve(request); })
    {
        files = {{"/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/") + "\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=" +
                                       std::to_string(availableBuild) + "\r\nTO_EXECUTE=probe.exe\r\n"}};
        // The archive of the build on offer, answered once archiveRelease is set.
        if (!archive.empty()) {
            files["/ABC/ABC_" + std::to_string(availableBuild) + ".zip"] = archive;
            launcher.ShipSyncLibrary();
        }
        launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
        CreateDirectoryW(folder.c_str(), nullptr);
        CopyFileW((BinaryFolder() + L"binding_probe.exe").c_str(), (folder + L"\\probe.exe").c_str(), FALSE);
        const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
        WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", std::to_wstring(installedBuild));
        WriteRegString(HKEY_CURRENT_USER, key, L"PATH", folder);
        process = launcher.Start();
        window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
        HWND list = GetDlgItem(window, 1000);
        ready = window && (stall || WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    }
    HttpResponse Serve(const HttpRequest& request)
    {
        // The repository never answers while stall is set: a stalled download.
        if (request.target == "/sw_repo.dat")
            WaitForSingleObject(release, stall ? 60000 : 0);
        if (request.target.size() > 4 && request.target.compare(request.target.size() - 4, 4, ".zip") == 0) {
            ++archiveRequests;
            WaitForSingleObject(archiveRelease, 60000);
        }
        return StaticFiles(files)(request);
    }
    /// How many starts carried "N=<tag>" in the program's installed folder.
    int StartsIn(const std::wstring& programFolder, const std::string& tag) const
    {
        std::string log = ReadBytes(programFolder + L"\\starts.log");
        int count = 0;
        for (size_t at = log.find("N=" + tag + "\r\n"); at != std::string::npos;
             at = log.find("N=" + tag + "\r\n", at + 1))
            ++count;
        return count;
    }
    /// How many starts carried "N=<tag>".
    int Starts(const std::string& tag) const { return StartsIn(folder, tag); }
    ~InstalledProbe()
    {
        SetEvent(release);
        SetEvent(archiveRelease);
    }

    bool stall;
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE archiveRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> archiveRequests{0};
    std::map<std::string, std::string> files;
    LoopbackServer server;
    LauncherCopy launcher;
    TempDir programs;
    const std::wstring folder = programs.Path() + L"ABC";
    HANDLE process = nullptr;
    HWND window = nullptr;
    bool ready = false;
};
} // namespace

// The program reads the request from its launch file unchanged, byte for byte.
TEST(Startup, DocumentArgumentReachesTheLaunchFileByteForByte)
{
    InstalledProbe running(1, 1);
    ASSERT_TRUE(running.ready);
    static const char raw[] = "SW_CODE=ABC\r\nUSER=x\r\n\0\xFE binary tail";
    std::string bytes(raw, sizeof(raw) - 1);
    std::wstring document = running.launcher.Folder() + L"a request.morvindex";
    WriteBytes(document, bytes);

    HANDLE second = running.launcher.Start(L"\"" + document + L"\"");
    EXPECT_EQ(0u, LauncherCopy::WaitExit(second, kStartTimeout));
    // The probe adds what its launch file held to starts.log, then a "--" line.
    const std::wstring log = running.folder + L"\\starts.log";
    EXPECT_TRUE(WaitUntil(20000, [&] { return ReadBytes(log) == bytes + "--\n"; })) << ReadBytes(log);
    EXPECT_TRUE(LauncherCopy::Close(running.process, kStartTimeout));
}

// A web request for the program being updated waits for the update, then
// starts the new build once: neither the old build mid-copy nor a second
// installation.
TEST(Invocation, RequestDuringAnUpdateWaitsAndStartsTheNewBuildOnce)
{
    TempDir scratch;
    const std::string probe = ReadBytes(BinaryFolder() + L"binding_probe.exe");
    ASSERT_TRUE(WriteZip(scratch / L"ABC_2.zip", {{"probe.exe", probe, MakeDos(2024, 6, 1, 12, 0, 0)},
                                                 {"build2.txt", "2", MakeDos(2024, 6, 1, 12, 0, 0)}}));
    InstalledProbe running(1, 2, false, ReadBytes(scratch / L"ABC_2.zip"));
    ASSERT_TRUE(running.ready);
    PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(running.window, 1011)));
    ASSERT_TRUE(WaitUntil(20000, [&] { return running.archiveRequests.load() == 1; }));

    HANDLE request = running.launcher.Start(L"morvindex:sw_code=abc&n=web");
    EXPECT_EQ(0u, LauncherCopy::WaitExit(request, kStartTimeout));
    Sleep(2500); // a request taken up at once would have asked or started by now
    EXPECT_EQ(nullptr, WaitMessageBox(running.process, L"Aggiornamento", 0)) << "no question while installing";
    EXPECT_EQ(0, running.Starts("web")) << "the old build is not started mid-update";

    SetEvent(running.archiveRelease);
    const std::wstring installed = running.launcher.DataFolder() + L"apps\\ABC";
    // The installation offers the start; the request then starts the new build.
    HWND offer = WaitMessageBox(running.process, L"Aggiornamento", 30000);
    ASSERT_NE(nullptr, offer);
    PostMessageW(offer, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(WaitUntil(20000, [&] { return running.StartsIn(installed, "web") == 1; }));
    Sleep(2500); // a second question or start would show by now
    EXPECT_EQ(1, running.StartsIn(installed, "web"));
    EXPECT_EQ(0, running.Starts("web"));
    EXPECT_EQ(1, running.archiveRequests.load()) << "one installation";
    EXPECT_EQ(L"2", ReadRegString(HKEY_CURRENT_USER, L"software\\" + running.launcher.Name() + L"\\index\\ABC",
                                  L"VERSION"));
    EXPECT_TRUE(LauncherCopy::Close(running.process, kStartTimeout));
}

// A read-only request document (a mail attachment) starts the program once,
// and every later request, sent once the previous one has started its
// program, is started exactly once too.
TEST(Invocation, EveryRequestStartsItsProgramExactlyOnce)
{
    InstalledProbe running(1, 1);
    ASSERT_TRUE(running.ready);
    TempDir documents;
    const std::wstring document = documents / L"richiesta.morvindex";
    WriteBytes(document, "SW_CODE=ABC\r\nN=ro\r\n");
    SetFileAttributesW(document.c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE second = running.launcher.Start(L"\"" + document + L"\"");
    EXPECT_EQ(0u, LauncherCopy::WaitExit(second, kStartTimeout));
    ASSERT_TRUE(WaitUntil(20000, [&] { return running.Starts("ro") == 1; }));

    for (int i = 1; i <= 20; ++i) {
        const std::string tag = std::to_string(i);
        HANDLE request = running.launcher.Start(L"morvindex:sw_code=abc&n=" + std::wstring(tag.begin(), tag.end()));
        EXPECT_EQ(0u, LauncherCopy::WaitExit(request, kStartTimeout));
        EXPECT_TRUE(WaitUntil(20000, [&] { return running.Starts(tag) >= 1; })) << "request " << tag;
    }
    Sleep(2500); // a request taken up twice would show by now
    EXPECT_EQ(1, running.Starts("ro"));
    for (int i = 1; i <= 20; ++i)
        EXPECT_EQ(1, running.Starts(std::to_string(i))) << "request " << i;
    EXPECT_TRUE(LauncherCopy::Close(running.process, kStartTimeout));
}

// A request that cannot be moved nor removed (held open by another program)
// starts its program once, and not again after a restart.
TEST(Invocation, RequestThatCannotBeRemovedStartsOnceAcrossRestarts)
{
    InstalledProbe running(1, 1);
    ASSERT_TRUE(running.ready);
    const std::wstring request = running.launcher.DataFolder() + L"invoke.morvindex";
    WriteBytes(request, "SW_CODE=ABC\r\nN=held\r\n");
    HANDLE held = CreateFileW(request.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_TRUE(WaitUntil(20000, [&] { return running.Starts("held") == 1; }));
    EXPECT_TRUE(LauncherCopy::Close(running.process, kStartTimeout));

    HANDLE again = running.launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(again, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    EXPECT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    Sleep(2500); // the window looks for a waiting request every second
    CloseHandle(held);
    EXPECT_EQ(1, running.Starts("held"));
    EXPECT_TRUE(LauncherCopy::Close(again, kStartTimeout));
}

namespace {
int ThreadCount(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == processId;
    CloseHandle(snapshot);
    return count;
}
} // namespace

// While a request waits for a stalled catalogue, a flood of activations
// starts no further invocation workers, and the program lives on.
TEST(Invocation, FloodOfActivationsWhileTheCatalogueStallsStartsOneWorker)
{
    InstalledProbe stalled(1, 1, true);
    ASSERT_TRUE(stalled.ready);
    HANDLE request = stalled.launcher.Start(L"morvindex:sw_code=abc&n=waiting");
    EXPECT_EQ(0u, LauncherCopy::WaitExit(request, kStartTimeout));
    const DWORD id = GetProcessId(stalled.process);
    const int before = ThreadCount(id);
    ASSERT_GT(before, 0);
    for (int i = 0; i < 300; ++i)
        SendMessageW(stalled.window, WM_ACTIVATE, i % 2 ? WA_INACTIVE : WA_ACTIVE, 0);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(stalled.process, 0)) << "the program lives";
    const int after = ThreadCount(id);
    EXPECT_LE(after, before + 3) << before << " threads before the activations";
    PostMessageW(stalled.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(stalled.process, 10000));
}

// Closing the window ends the program promptly and cleanly, even with a
// download stalled and a question waiting that nobody will answer; the
// program behind that question is not started.
TEST(Invocation, ClosingWithAStalledDownloadOrAnOpenQuestionEndsCleanly)
{
    {
        InstalledProbe running(1, 2);
        ASSERT_TRUE(running.ready);
        HANDLE request = running.launcher.Start(L"morvindex:sw_code=abc&n=asked");
        EXPECT_EQ(0u, LauncherCopy::WaitExit(request, kStartTimeout));
        ASSERT_NE(nullptr, WaitMessageBox(running.process, L"Aggiornamento", 20000)) << "the update question";
        PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_EQ(0u, LauncherCopy::WaitExit(running.process, 10000));
        Sleep(1000);
        EXPECT_EQ(0, running.Starts("asked"));
    }
    InstalledProbe stalled(1, 1, true);
    ASSERT_TRUE(stalled.ready);
    ASSERT_TRUE(WaitUntil(10000, [&] {
        for (const HttpRequest& request : stalled.server.Requests())
            if (request.target == "/sw_repo.dat")
                return true;
        return false;
    })) << "the worker waits for the repository";
    PostMessageW(stalled.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(stalled.process, 10000)) << "ends with code 0 within a few seconds";
}
