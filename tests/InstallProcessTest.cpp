// The real MorvIndex.exe under Wine installing from its window: the whole
// road from install to uninstall, a slow download, an open program, thumbnails
// and a server choice while an installation runs.
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <map>

using namespace testing_support;

/// Folder names for the program and for APPDATA: plain, and as our users have them.
struct UserFolders {
    const char* name;
    const wchar_t* program;
    const wchar_t* appData;
};

class InstallRoad : public ::testing::TestWithParam<UserFolders> {};

INSTANTIATE_TEST_SUITE_P(Folders, InstallRoad,
                         ::testing::Values(UserFolders{"Plain", L"", L""},
                                           UserFolders{"AccentedAndSpaced", L"Utilit\u00e0 di Nicol\u00f2",
                                                       L"Niccol\u00f2 B\u00e0rbaro\\AppData\\Roaming"}),
                         [](const ::testing::TestParamInfo<UserFolders>& info) { return info.param.name; });

// The whole road: install from the list with a dependency, the build and folder
// in the registry, a restart, a web request that starts the program in its
// folder with its launch file, and the uninstall.
TEST_P(InstallRoad, InstallRestartWebRequestAndUninstall)
{
    TempDir scratch;
    std::map<std::string, std::string> files;
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    WriteZip(scratch / L"abc.zip", {{"probe.exe", ReadBytes(BinaryFolder() + L"binding_probe.exe")},
                                    {"leggimi.txt", "ABC build 1"}});
    WriteZip(scratch / L"dep.zip", {{"runtime/dep.dll", "DEP"}});
    files = {{"/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/") +
                                   "\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=1\r\nTO_EXECUTE=probe.exe\r\nDEPS=DEP\r\n"
                                   "[DEP]\r\nSW_TYPE=100\r\nBUILD_DISP=1\r\n"},
             {"/ABC/ABC_1.zip", ReadBytes(scratch / L"abc.zip")},
             {"/deps/DEP.zip", ReadBytes(scratch / L"dep.zip")}};
    LauncherCopy launcher(GetParam().program, GetParam().appData);
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    // The program's folder holds the library, as a shipped launcher's does.
    launcher.ShipSyncLibrary();
    const std::wstring installed = launcher.DataFolder() + L"apps\\ABC";

    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));

    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    HWND question = WaitMessageBox(process, L"Aggiornamento", 60000);
    ASSERT_NE(nullptr, question) << "the start is offered after the installation";
    PostMessageW(question, WM_COMMAND, IDNO, 0);
    EXPECT_EQ("ABC build 1", ReadBytes(installed + L"\\leggimi.txt"));
    EXPECT_EQ("DEP", ReadBytes(installed + L"\\runtime\\dep.dll"));
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    EXPECT_EQ(L"1", ReadRegString(HKEY_CURRENT_USER, key, L"VERSION"));
    EXPECT_EQ(installed, ReadRegString(HKEY_CURRENT_USER, key, L"PATH"));
    // Up to date, "Installa/Aggiorna" offers to repair it.
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, 1011)));
    // The click is taken once the installation's worker has ended.
    HWND repair = nullptr;
    for (int attempt = 0; attempt < 20 && !repair; ++attempt) {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
        repair = WaitMessageBox(process, L"Riparazione", 1000);
    }
    ASSERT_NE(nullptr, repair);
    PostMessageW(repair, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));

    // After a restart the recorded folder is found again.
    process = launcher.Start();
    window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    list = GetDlgItem(window, 1000);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    EXPECT_TRUE(WaitUntil(5000, [&] { return IsWindowEnabled(GetDlgItem(window, 1008)) != FALSE; }))
        << "Avvia is enabled for the installed program";

    // A web page asks for ABC: the second start hands the request over and ends.
    HANDLE second = launcher.Start(L"morvindex:sw_code=abc&user=x");
    EXPECT_EQ(0u, LauncherCopy::WaitExit(second, kStartTimeout));
    const std::wstring launchFile = launcher.DataFolder() + L"ABCinvoke.dat";
    // The started program writes its report into the file named by its argument.
    EXPECT_TRUE(WaitUntil(30000, [&] { return ReadBytes(launchFile).rfind("PATH=", 0) == 0; }))
        << ReadBytes(launchFile);
    const std::string report = ReadBytes(launchFile);
    EXPECT_NE(std::string::npos, report.find("\nCWD=" + Utf8FromWide(installed) + "\n")) << report;
    EXPECT_NE(std::string::npos, report.find("\nARG=" + Utf8FromWide(launchFile) + "\n")) << report;
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"invoke.morvindex"));
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"gogo.morvindex"));

    // Uninstall from the "Software" menu: every file goes, the folders stay.
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(32775, 0), 0);
    EXPECT_TRUE(WaitUntil(10000, [&] { return ReadRegString(HKEY_CURRENT_USER, key, L"VERSION") == L"0"; }));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, key, L"PATH"));
    EXPECT_FALSE(FileExists(installed + L"\\probe.exe"));
    EXPECT_FALSE(FileExists(installed + L"\\runtime\\dep.dll"));
    EXPECT_FALSE(FileExists(launchFile));
    EXPECT_TRUE(FileExists(installed + L"\\runtime"));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}

namespace {
/// A launcher copy with the library beside it and ABC installed at build 1
/// (apps\ABC\abc.exe holding "build 1", written long ago); the index offers
/// build 2, whose archive archive() serves. Started and showing its list.
struct OutdatedProgram {
    explicit OutdatedProgram(LoopbackServer::Handler archive)
        : server([this, archive](const HttpRequest& request) {
              return request.target == "/ABC/ABC_2.zip" ? archive(request) : StaticFiles(files)(request);
          })
    {
        files = {{"/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/") + "\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\n"
                                       "TO_EXECUTE=abc.exe\r\n"}};
        launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
        launcher.ShipSyncLibrary();
        CreateDirectoryW(launcher.DataFolder().c_str(), nullptr);
        CreateDirectoryW((launcher.DataFolder() + L"apps").c_str(), nullptr);
        CreateDirectoryW(installed.c_str(), nullptr);
        WriteBytes(installed + L"\\abc.exe", "build 1");
        SetWriteTime(installed + L"\\abc.exe", FileTimeOf(MakeDos(2020, 1, 2, 3, 4, 6)));
        WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"1");
        WriteRegString(HKEY_CURRENT_USER, key, L"PATH", installed);
        process = launcher.Start();
        window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
        HWND list = GetDlgItem(window, 1000);
        ready = window && WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }) &&
                IsWindowEnabled(GetDlgItem(window, 1011));
    }
    void ClickInstall() const
    {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    }
    int ArchiveRequests() const
    {
        int count = 0;
        for (const HttpRequest& request : server.Requests())
            count += request.target == "/ABC/ABC_2.zip";
        return count;
    }

    std::map<std::string, std::string> files;
    LoopbackServer server;
    LauncherCopy launcher;
    const std::wstring installed = launcher.DataFolder() + L"apps\\ABC";
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    HANDLE process = nullptr;
    HWND window = nullptr;
    bool ready = false;
};

std::wstring ControlText(HWND control)
{
    wchar_t text[512] = {};
    SendMessageW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
}
} // namespace

// On a slow line the window answers every message while the archive arrives,
// a second click starts nothing, and Esc stops the installation: the program
// ends, its folder and its recorded build stay as they were.
TEST(InstallWindow, AnswersDuringASlowDownloadAndEscStopsItWithNothingRecorded)
{
    OutdatedProgram running([](const HttpRequest&) {
        HttpResponse response;
        response.generatedSize = 8 << 20;
        response.pieceSize = 1 << 16;
        response.pieceDelayMs = 250; // half a minute for the whole body
        return response;
    });
    ASSERT_TRUE(running.ready);
    running.ClickInstall();
    ASSERT_TRUE(WaitUntil(20000, [&] { return running.ArchiveRequests() == 1; }));
    for (int i = 0; i < 5; ++i) {
        DWORD_PTR answer = 0;
        EXPECT_NE(0, SendMessageTimeoutW(running.window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &answer))
            << "the window must answer within a second, message " << i;
        Sleep(300);
    }
    EXPECT_EQ(L"Download application... ", ControlText(GetDlgItem(running.window, 1010)));
    // The bar moves with the bytes within the download's step (the first of two).
    HWND bar = GetDlgItem(running.window, 1009);
    DWORD_PTR position = 0, high = 0;
    EXPECT_TRUE(WaitUntil(10000, [&] {
        return SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position) && position > 0;
    }));
    SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, 1000, &high);
    EXPECT_LT(position * 2, high) << "still within the download's step";
    running.ClickInstall();
    PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(1008, BN_CLICKED), 0);
    Sleep(1000);
    EXPECT_EQ(1, running.ArchiveRequests()) << "a click while the installation runs starts nothing";
    EXPECT_EQ(nullptr, WaitMessageBox(running.process, L"Aggiornamento", 0)) << "nor does Avvia ask anything";

    PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(running.process, 15000)) << "ends with code 0 within a few seconds";
    EXPECT_EQ(L"1", ReadRegString(HKEY_CURRENT_USER, running.key, L"VERSION"));
    EXPECT_EQ("build 1", ReadBytes(running.installed + L"\\abc.exe"));
}

// Updating a program that is open (one of its files held without sharing)
// fails, says so in a box captioned "Installazione", and the recorded build
// stays the old one.
TEST(InstallWindow, UpdatingAnOpenProgramSaysSoAndKeepsTheRecordedBuild)
{
    TempDir scratch;
    WriteZip(scratch / L"abc.zip", {{"abc.exe", "build 2"}});
    const std::string archive = ReadBytes(scratch / L"abc.zip");
    OutdatedProgram running([archive](const HttpRequest&) {
        HttpResponse response;
        response.body = archive;
        return response;
    });
    ASSERT_TRUE(running.ready);
    HANDLE held = CreateFileW((running.installed + L"\\abc.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    running.ClickInstall();
    HWND box = WaitMessageBox(running.process, L"Installazione", 60000);
    CloseHandle(held);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"Non \u00e8 stato possibile aggiornare il software, probabilmente perch\u00e9 \u00e8 aperto.\n"
              L"Chiudilo e riprova.",
              ControlText(GetDlgItem(box, 0xFFFF)));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(L"1", ReadRegString(HKEY_CURRENT_USER, running.key, L"VERSION"));
    EXPECT_EQ("build 1", ReadBytes(running.installed + L"\\abc.exe"));
    EXPECT_TRUE(LauncherCopy::Close(running.process, kStartTimeout));
}

// Thumbnails still loading keep out of an installation's way: while it runs,
// the status line says what the installation does, whatever they report.
TEST(Startup, ThumbnailsLoadingDuringAnInstallationLeaveItsStatusLine)
{
    // Thumbnails and the archive come from two servers, each held while it
    // answers: the test server answers one request at a time.
    std::map<std::string, std::string> files;
    HANDLE thumbnails = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE archive = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> thumbnailsAsked{0}, archiveAsked{0};
    LoopbackServer server([&](const HttpRequest& request) {
        if (request.target == "/ABC/ABC_2.zip") {
            ++archiveAsked;
            WaitForSingleObject(archive, 60000);
        }
        return StaticFiles(files)(request);
    });
    LoopbackServer pictures([&](const HttpRequest&) {
        ++thumbnailsAsked;
        WaitForSingleObject(thumbnails, 60000);
        HttpResponse missing;
        missing.status = 404;
        return missing;
    });
    TempDir scratch;
    ASSERT_TRUE(WriteZip(scratch / L"ABC_2.zip", {{"abc.txt", "ABC build 2", MakeDos(2024, 2, 1, 0, 0, 0)}}));
    // Every address is BASE and a name; a BASE that stops before the port
    // lets the names choose the server.
    const std::string host = "http://127.0.0.1:";
    const std::string archivePort = server.Url("/").substr(host.size());
    const std::string picturePort = pictures.Url("/").substr(host.size());
    std::string index = "[PATHS]\r\nBASE=" + host + "\r\n";
    for (const char* name : {"ABC", "DEF", "GHI"})
        index += std::string("[") + name + "]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\nTHUMB=" + picturePort + "t_" + name +
                 ".png\r\nDOWNLOAD_FILE=" + archivePort + "ABC/ABC_2.zip\r\n";
    files = {{"/sw_index.dat", index},
             {"/sw_repo.dat", "[PRINCIPALE]\r\nURL=" + server.Url("/sw_index.dat") + "\r\n"},
             {"/ABC/ABC_2.zip", ReadBytes(scratch / L"ABC_2.zip")}};
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    launcher.ShipSyncLibrary();
    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    HWND status = GetDlgItem(window, 1010);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3; }));
    ASSERT_TRUE(WaitUntil(20000, [&] { return thumbnailsAsked.load() == 1; })) << "the first thumbnail under way";

    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    ASSERT_TRUE(WaitUntil(20000, [&] { return archiveAsked.load() == 1; }));
    auto statusText = [&] {
        wchar_t text[256] = {};
        SendMessageW(status, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
        return Utf8FromWide(text);
    };
    ASSERT_TRUE(WaitUntil(5000, [&] { return statusText() == "Download application... "; })) << statusText();
    SetEvent(thumbnails);
    ASSERT_TRUE(WaitUntil(20000, [&] { return thumbnailsAsked.load() == 3; }));
    bool kept = true;
    WaitUntil(3000, [&] {
        kept = kept && statusText() == "Download application... ";
        return !kept;
    });
    EXPECT_TRUE(kept) << statusText();

    SetEvent(archive);
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    EXPECT_TRUE(WaitUntil(30000, [&] { return ReadRegString(HKEY_CURRENT_USER, key, L"VERSION") == L"2"; }));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    CloseHandle(thumbnails);
    CloseHandle(archive);
}

// While a program installs, choosing another server is refused with a word and
// the list shows the server in use again; closing the window then stops the
// installation at once, leaving nothing installed or recorded.
TEST(Startup, ServerChoiceDuringAnInstallationIsRefusedAndClosingStopsIt)
{
    std::map<std::string, std::string> files;
    std::atomic<bool> archiveAsked{false};
    LoopbackServer server([&](const HttpRequest& request) {
        if (request.target == "/ABC/ABC_2.zip") {
            archiveAsked = true;
            HttpResponse silent;
            silent.silent = true; // the download stays under way
            return silent;
        }
        return StaticFiles(files)(request);
    });
    const std::string indexUrl = server.Url("/sw_index.dat");
    files = {{"/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/") + "\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\n"},
             {"/sw_repo.dat", "[PRINCIPALE]\r\nURL=" + indexUrl + "\r\n[PROVA]\r\nURL=http://elsewhere/\r\n"}};
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(indexUrl, server.Url("/sw_repo.dat"));
    launcher.ShipSyncLibrary();
    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    HWND servers = GetDlgItem(window, 1028);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    ASSERT_TRUE(WaitUntil(5000, [&] { return SendMessageW(servers, CB_GETCOUNT, 0, 0) == 2; }));

    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    ASSERT_TRUE(WaitUntil(20000, [&] { return archiveAsked.load(); }));
    SendMessageW(servers, CB_SETCURSEL, 1, 0);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1028, CBN_SELCHANGE), reinterpret_cast<LPARAM>(servers));
    HWND refusal = WaitMessageBox(process, L"Aggiornamento configurazione", 10000);
    ASSERT_NE(nullptr, refusal);
    EXPECT_EQ(0, SendMessageW(servers, CB_GETCURSEL, 0, 0)) << "the server in use";
    PostMessageW(refusal, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil(5000, [&] { return !IsWindow(refusal); }));
    EXPECT_TRUE(IsWindow(window)) << "nothing closed";

    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"apps\\ABC\\abc.exe"));
    EXPECT_EQ(L"<missing>", ReadRegString(HKEY_CURRENT_USER, L"software\\" + launcher.Name() + L"\\index\\ABC",
                                          L"VERSION"));
}
