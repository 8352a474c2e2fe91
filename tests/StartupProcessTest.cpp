// The real MorvIndex.exe under Wine, each test with its own copy of the
// executable (so its own program name, registry keys and shared window slot)
// and its own APPDATA.
#include "catalogue/CatalogueFiles.h"
#include "net/Crypto.h"
#include "environment/SyncBinding.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "trelko_util/InstallJournal.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <tlhelp32.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>

using namespace testing_support;


TEST(Startup, FirstStartCreatesDataFolderAndRegistersProtocolAndFileType)
{
    LauncherCopy launcher;
    HANDLE process = launcher.Start();
    ASSERT_NE(nullptr, process);
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window) << "the main dialog did not appear";
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    EXPECT_STREQ(L"MorvIndex", caption);

    EXPECT_TRUE(FileExists(launcher.DataFolder()));
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"invoke.morvindex"));

    const std::wstring protocol = L"SOFTWARE\\Classes\\" + launcher.Name();
    EXPECT_EQ(L"URL:" + launcher.Name() + L" Protocol", ReadRegString(HKEY_CURRENT_USER, protocol));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, protocol, L"URL Protocol"));
    EXPECT_EQ(launcher.ExePath(), ReadRegString(HKEY_CURRENT_USER, protocol + L"\\DefaultIcon"));
    EXPECT_EQ(L"\"" + launcher.ExePath() + L"\" \"%1\"", ReadRegString(HKEY_CURRENT_USER, protocol + L"\\shell\\open\\command"));

    const std::wstring extension = L"." + launcher.Name();
    EXPECT_EQ(L"morvindex.Document", ReadRegString(HKEY_CLASSES_ROOT, extension));
    EXPECT_EQ(L"\"" + launcher.ExePath() + L"\" \"%1\"",
              ReadRegString(HKEY_CLASSES_ROOT, extension + L"\\shell\\open\\command"));
    std::wstring icon = ReadRegString(HKEY_CLASSES_ROOT, L"morvindex.Document\\DefaultIcon");
    EXPECT_EQ(L"\"", icon.substr(0, 1));
    EXPECT_EQ(L".exe\",0", icon.substr(icon.size() - 7));

    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_EQ(0u, LauncherCopy::WaitExit(process, 0));
}

TEST(Startup, SecondStartWritesTheRequestRestoresTheFirstWindowAndEnds)
{
    LauncherCopy launcher;
    HANDLE first = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(first, kStartTimeout);
    ASSERT_NE(nullptr, window);
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(WaitUntil(5000, [&] { return IsIconic(window) != FALSE; }));

    HANDLE second = launcher.Start(L"morvindex:sw_code=Abc&x=1&y");
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(second, kStartTimeout)) << "the second instance must end by itself";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first, 0)) << "the first instance keeps running";
    EXPECT_TRUE(WaitUntil(5000, [&] { return !IsIconic(window); })) << "the running window is restored";
    // The running instance takes the request up: as ABC is not installed the
    // "not installed" notice names it, and no launch file is written.
    HWND notice = WaitMessageBox(first, L"Aggiornamento", 20000);
    ASSERT_NE(nullptr, notice) << "request left: " << ReadBytes(launcher.DataFolder() + L"invoke.morvindex");
    wchar_t text[256] = {};
    GetDlgItemTextW(notice, 0xFFFF, text, 256);
    EXPECT_EQ(0, wcsncmp(text, L"Il software ABC\n", 16)) << Utf8FromWide(text);
    PostMessageW(notice, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"invoke.morvindex"));
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"ABCinvoke.dat"));

    EXPECT_TRUE(LauncherCopy::Close(first, kStartTimeout));
}

TEST(Startup, UnchangedSettingsAreNotWrittenBackOverNewerOnes)
{
    LauncherCopy launcher;
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"3");
    WriteRegString(HKEY_CURRENT_USER, key, L"PATH", L"C:\\apps\\ABC");

    HANDLE process = launcher.Start();
    ASSERT_NE(nullptr, LauncherCopy::WaitMainWindow(process, kStartTimeout));
    // Another instance records a newer build while this one runs.
    WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"4");
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_EQ(L"4", ReadRegString(HKEY_CURRENT_USER, key, L"VERSION"));
}

TEST(Startup, CatalogueWorkerFillsServersAndFetchesThumbnailsAtEveryStart)
{
    std::map<std::string, std::string> files;
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    const std::string indexUrl = server.Url("/sw/sw_index.dat");
    files = {{"/sw/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/sw/") +
                                      "\r\n[ABC]\r\nSW_TYPE=0\r\nTHUMB=abc.png\r\n[XYZ]\r\nSW_TYPE=0\r\nTHUMB=xyz.png\r\n"},
             {"/sw/sw_repo.dat", "[PRINCIPALE]\r\nURL=" + indexUrl + "\r\n[PROVA]\r\nURL=http://elsewhere/\r\n"},
             {"/sw/abc.png", "picture of abc"},
             {"/sw/xyz.png", "picture of xyz"}};
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(indexUrl, server.Url("/sw/sw_repo.dat"));

    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(WaitUntil(20000, [&] { return FileExists(launcher.DataFolder() + L"img_sw_2.png"); }));
    EXPECT_EQ("picture of abc", ReadBytes(launcher.DataFolder() + L"img_sw_1.png"));
    EXPECT_EQ("picture of xyz", ReadBytes(launcher.DataFolder() + L"img_sw_2.png"));
    EXPECT_TRUE(FileExists(launcher.DataFolder() + L"sw_index.dat"));
    EXPECT_TRUE(FileExists(launcher.DataFolder() + L"sw_repo.dat"));

    HWND servers = GetDlgItem(window, 1028);
    EXPECT_TRUE(WaitUntil(5000, [&] { return SendMessageW(servers, CB_GETCOUNT, 0, 0) == 2; }));
    EXPECT_EQ(0, SendMessageW(servers, CB_GETCURSEL, 0, 0)) << "the server whose index is in use";
    // The status line ends empty once the last thumbnail is in.
    HWND status = GetDlgItem(window, 1010);
    EXPECT_TRUE(WaitUntil(5000, [&] { return GetWindowTextLengthW(status) == 0; }));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}

TEST(Startup, ListShowsOnlyInstalledProgramsFirstAndAllAfterTheFilterIsCleared)
{
    std::map<std::string, std::string> files;
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    files = {{"/sw_index.dat", "[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=4\r\nTITOLO=Abc\r\n"
                               "[XYZ]\r\nSW_TYPE=1\r\nBUILD_DISP=2\r\n"
                               "[LIB]\r\nSW_TYPE=100\r\nBUILD_DISP=1\r\n"
                               "[HIDDEN]\r\nSW_TYPE=10\r\n"}};
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"3");
    WriteRegString(HKEY_CURRENT_USER, key, L"PATH", L"C:\\apps\\ABC");

    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    HWND onlyInstalled = GetDlgItem(window, 1003);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    EXPECT_EQ(BST_CHECKED, SendMessageW(onlyInstalled, BM_GETCHECK, 0, 0)) << "one program is installed";
    EXPECT_NE(0u, SendMessageW(list, LVM_GETITEMSTATE, 0, LVIS_SELECTED) & LVIS_SELECTED) << "row 0 is selected";
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, 1011))) << "an update is available for ABC";

    SendMessageW(onlyInstalled, BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitUntil(5000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 2; }))
        << "packages and types of 10 or more never show";
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(onlyInstalled, BM_GETCHECK, 0, 0));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}


// The maker's key in server.dat: a signed catalogue is listed and its SERIAL
// kept in the settings; at the next starts an index changed after signing and
// a replayed older one are refused, and the last verified list stays with a
// word on the status line.
TEST(Startup, SignedCatalogueIsListedAndRefusedOnesLeaveTheVerifiedOne)
{
    std::map<std::string, std::string> files;
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    static const std::string kRepository = "[PATHS]\r\nROLE=REPOSITORY\r\nSERIAL=1\r\n[MAIN]\r\nURL=http://main/\r\n";
    const auto serveSigned = [&files](const std::string& index, const std::string& signedIndex) {
        files = {{"/sw_index.dat", index},
                 {"/sw_index.dat.sig", SignWith(kMakerKey, signedIndex)},
                 {"/sw_repo.dat", kRepository},
                 {"/sw_repo.dat.sig", SignWith(kMakerKey, kRepository)}};
    };
    const std::string verified = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=1\r\n";
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    WriteBytes(launcher.Folder() + L"server.dat", std::string("[SIGNATURE]\r\nKEY=") + kMakerKey.spkiBase64 + "\r\n");
    const std::wstring settings = L"software\\" + launcher.Name() + L"\\index";

    const std::string older = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=4\r\n[ABC]\r\nSW_TYPE=0\r\n[OLD]\r\nSW_TYPE=0\r\n";
    const std::string sameSerial = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\n[ABC]\r\nSW_TYPE=0\r\n[OLD]\r\nSW_TYPE=0\r\n";
    PublicKey makerKey;
    ASSERT_TRUE(ParsePublicKey(kMakerKey.spkiBase64, makerKey));
    const std::wstring serialName = WideFromUtf8(SerialSettingName(true, KeyFingerprint(makerKey)));
    const std::wstring kept = L"5 " + WideFromUtf8(HexOf(Sha256Of(verified)));
    const std::string changed = verified + "[EVIL]\r\nSW_TYPE=0\r\n";
    const struct {
        const char* what;
        std::string index;
        std::string signedIndex;
        const wchar_t* status;
    } runs[] = {
        {"signed", verified, verified, L""},
        {"older serial", older, older,
         L"Impossibile verificare l'elenco dei software: \u00e8 mostrato l'ultimo elenco verificato."},
        {"changed after signing", changed, verified,
         L"Impossibile verificare l'elenco dei software: \u00e8 mostrato l'ultimo elenco verificato."},
        {"same serial, other bytes", sameSerial, sameSerial,
         L"Impossibile verificare l'elenco dei software: \u00e8 mostrato l'ultimo elenco verificato."},
    };
    for (const auto& run : runs) {
        serveSigned(run.index, run.signedIndex);
        HANDLE process = launcher.Start();
        HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
        ASSERT_NE(nullptr, window) << run.what;
        HWND list = GetDlgItem(window, 1000);
        HWND status = GetDlgItem(window, 1010);
        EXPECT_TRUE(WaitUntil(20000, [&] {
            wchar_t text[256] = {};
            GetWindowTextW(status, text, 256);
            return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1 &&
                   ReadRegString(HKEY_CURRENT_USER, settings, serialName.c_str()) == kept &&
                   run.status == std::wstring(text);
        })) << run.what << ": one program listed, serial 5 kept, status as expected";
        EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
        EXPECT_EQ(verified, ReadBytes(launcher.DataFolder() + L"sw_index.dat")) << run.what;
    }
}

// The last list shows at once: a server trickling the index just above the
// stall rule leaves the rows of the last run in the window from the start,
// and a fresh list, once it arrives, takes their place.
TEST(Startup, LastListShowsAtOnceWhileASlowServerTrickles)
{
    std::map<std::string, std::string> files = {
        {"/sw_index.dat", "[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=1\r\n[XYZ]\r\nSW_TYPE=0\r\nBUILD_DISP=1\r\n"},
        {"/sw_repo.dat", "[MAIN]\r\nURL=http://main/sw_index.dat\r\n"}};
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    // A server of its own: it answers one request at a time, and a trickle
    // outlives the process that asked for it.
    LoopbackServer trickling([](const HttpRequest&) {
        HttpResponse response;
        response.generatedSize = 1024 * 1024;
        response.pieceSize = 1100;
        response.pieceDelayMs = 25000;
        return response;
    });
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    const auto rowsSoon = [&launcher](int rows, DWORD milliseconds, const char* what) {
        HANDLE process = launcher.Start();
        HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
        EXPECT_NE(nullptr, window) << what;
        HWND list = window ? GetDlgItem(window, 1000) : nullptr;
        EXPECT_TRUE(list && WaitUntil(milliseconds, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == rows; }))
            << what << ": " << rows << " rows";
        return process;
    };
    HANDLE process = rowsSoon(2, 20000, "first start");
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));

    launcher.SetCatalogueUrls(trickling.Url("/sw_index.dat"), trickling.Url("/sw_repo.dat"));
    process = rowsSoon(2, 5000, "trickling server");
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));

    // Closed during that fetch, it left its last list as the backup: shown at
    // once again, then replaced by the fresh one.
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    files["/sw_index.dat"] += "[NEW]\r\nSW_TYPE=0\r\nBUILD_DISP=1\r\n";
    process = rowsSoon(3, 20000, "a fresh list in place of the shown one");
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}

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

namespace {
/// A launcher copy whose catalogue lists ABC (installed at build 2) and XYZ,
/// with servers MAIN and TEST, started and showing its list.
struct RunningLauncher {
    RunningLauncher()
        : server([this](const HttpRequest& request) { return StaticFiles(files)(request); })
    {
        files = {{"/sw_index.dat", "[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\n[XYZ]\r\nSW_TYPE=0\r\nBUILD_DISP=1\r\n"},
                 {"/sw_repo.dat", "[MAIN]\r\nURL=" + server.Url("/sw_index.dat") +
                                      "\r\n[TEST]\r\nURL=http://test.example/sw_index.dat\r\n"}};
        launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
        const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
        WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"2");
        WriteRegString(HKEY_CURRENT_USER, key, L"PATH", L"C:\\apps\\ABC");
        process = launcher.Start();
        window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
        list = GetDlgItem(window, 1000);
        ready = window && WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; });
    }

    std::map<std::string, std::string> files;
    LoopbackServer server;
    LauncherCopy launcher;
    HANDLE process = nullptr;
    HWND window = nullptr;
    HWND list = nullptr;
    bool ready = false;
};
} // namespace

TEST(Startup, FavouriteMarkIsKeptInTheSettings)
{
    RunningLauncher running;
    ASSERT_TRUE(running.ready);
    HWND favourite = GetDlgItem(running.window, 1013);
    ASSERT_TRUE(IsWindowEnabled(favourite)) << "the selected program is installed";
    SendMessageW(favourite, BM_CLICK, 0, 0);
    const std::wstring key = L"software\\" + running.launcher.Name() + L"\\index\\ABC";
    EXPECT_TRUE(WaitUntil(5000, [&] { return ReadRegString(HKEY_CURRENT_USER, key, L"PREF") == L"Y"; }));
    EXPECT_EQ(BST_CHECKED, SendMessageW(favourite, BM_GETCHECK, 0, 0));
    SendMessageW(favourite, BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitUntil(5000, [&] { return ReadRegString(HKEY_CURRENT_USER, key, L"PREF") == L""; }));
    EXPECT_TRUE(LauncherCopy::Close(running.process, kStartTimeout));
}

TEST(Startup, ChoosingAnotherServerWritesServerDatAndEndsAfterTheNotice)
{
    RunningLauncher running;
    ASSERT_TRUE(running.ready);
    HWND servers = GetDlgItem(running.window, 1028);
    ASSERT_EQ(2, SendMessageW(servers, CB_GETCOUNT, 0, 0));
    SendMessageW(servers, CB_SETCURSEL, 1, 0);
    PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(1028, CBN_SELCHANGE), reinterpret_cast<LPARAM>(servers));
    HWND notice = WaitMessageBox(running.process, L"Aggiornamento configurazione", 20000);
    ASSERT_NE(nullptr, notice);
    PostMessageW(notice, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(running.process, kStartTimeout)) << "the program ends for the restart";
    EXPECT_EQ("[SERVER]\r\nURL=http://test.example/sw_index.dat\r\n",
              ReadBytes(running.launcher.Folder() + L"server.dat"));
}

TEST(Startup, ProxyDialogWritesTheSettingsFileAndEndsAfterTheNotice)
{
    RunningLauncher running;
    ASSERT_TRUE(running.ready);
    PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(1015, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(running.window, 1015)));
    HWND proxy = WaitMessageBox(running.process, L"Proxy configuration", 20000);
    ASSERT_NE(nullptr, proxy);
    SendMessageW(GetDlgItem(proxy, 1013), BM_SETCHECK, BST_CHECKED, 0);
    SetWindowTextW(GetDlgItem(proxy, 1016), L"http://127.0.0.1:3128");
    SetWindowTextW(GetDlgItem(proxy, 1017), L"utent\u00e8");
    SetWindowTextW(GetDlgItem(proxy, 1018), L"segreto");
    PostMessageW(proxy, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    HWND notice = WaitMessageBox(running.process, L"Aggiornamento configurazione", 20000);
    ASSERT_NE(nullptr, notice);
    PostMessageW(notice, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(running.process, kStartTimeout));
    EXPECT_EQ("[PROXY]\r\nhttp://127.0.0.1:3128\r\nutent\xC3\xA8\r\nsegreto\r\n",
              ReadBytes(running.launcher.AppData() + L"\\zelto\\qbmapproxy.config"));
}

namespace {
/// Column texts of every row of another process's list view, read through
/// memory of that process (a list view takes its item buffers by pointer).
std::vector<std::wstring> RemoteColumnTexts(HANDLE process, HWND list, int column)
{
    std::vector<std::wstring> texts;
    const SIZE_T size = sizeof(LVITEMW) + 256 * sizeof(wchar_t);
    auto* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    if (!remote)
        return texts;
    const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        LVITEMW item = {};
        item.iSubItem = column;
        item.cchTextMax = 256;
        item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
        WriteProcessMemory(process, remote, &item, sizeof(item), nullptr);
        SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote));
        wchar_t text[256] = {};
        ReadProcessMemory(process, remote + sizeof(LVITEMW), text, sizeof(text) - sizeof(wchar_t), nullptr);
        texts.push_back(text);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return texts;
}

void ClickAt(int x, int y, bool control)
{
    SetCursorPos(x, y);
    if (control)
        keybd_event(VK_CONTROL, 0, 0, 0);
    mouse_event(MOUSEEVENTF_LEFTDOWN, 0, 0, 0, 0);
    mouse_event(MOUSEEVENTF_LEFTUP, 0, 0, 0, 0);
    if (control)
        keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
}
} // namespace

// Header clicks, plain and with Control, on 300 rows of mixed texts while the
// thumbnails arrive and the filter refills the list: no row is lost or
// doubled, and the program keeps running.
TEST(ReportListUnderLoad, HeaderClicksWhileThumbnailsArriveKeepEveryRow)
{
    const std::string png = ReadBytes(BinaryFolder() + L"sw_con.png");
    ASSERT_FALSE(png.empty());
    const char* titles[] = {"12.5", "A", "10", "nan", "2024-01-02", "FF", "zeta", "9%", "", "Beta"};
    std::map<std::string, std::string> files;
    std::string index = "[PATHS]\r\nBASE=http://127.0.0.1:1/\r\n";
    for (int i = 0; i < 300; ++i) {
        std::string name = "P" + std::to_string(i);
        index += "[" + name + "]\r\nSW_TYPE=0\r\nBUILD_DISP=" + titles[i % 10] + "\r\nTITOLO=" + titles[(i * 7) % 10] +
                 "\r\nTHUMB=t/" + name + ".png\r\n";
        files["/t/" + name + ".png"] = png;
    }
    LoopbackServer server([&files](const HttpRequest& request) {
        if (request.target.rfind("/t/", 0) == 0)
            Sleep(15); // thumbnails keep arriving while the headers are clicked
        return StaticFiles(files)(request);
    });
    std::string base = server.Url("/");
    index.replace(index.find("http://127.0.0.1:1/"), strlen("http://127.0.0.1:1/"), base);
    files["/sw_index.dat"] = index;
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 300; }));

    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    RECT place;
    GetWindowRect(header, &place);
    for (int click = 0; click < 10; ++click) {
        int column = 1 + click % 5;
        int x = place.left + 4;
        for (int c = 0; c < column; ++c)
            x += static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(c), 0));
        ClickAt(x + 10, (place.top + place.bottom) / 2, click % 3 == 2);
        if (click % 4 == 3) { // two refills between the sorts (the filter on, then off)
            for (int twice = 0; twice < 2; ++twice)
                PostMessageW(window, WM_COMMAND, MAKEWPARAM(1003, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(window, 1003)));
        }
        Sleep(150);
    }
    // Every click has been handled once the program waits for input again.
    WaitForInputIdle(process, 60000);
    ASSERT_EQ(STILL_ACTIVE, LauncherCopy::WaitExit(process, 0)) << "the program is still running";
    // A refill or sort that waited for a paint of its own may still run:
    // the rows are read once two readings a moment apart agree.
    auto names = [&] { return RemoteColumnTexts(process, list, 1); };
    std::vector<std::wstring> settled = names();
    ASSERT_TRUE(WaitUntil(30000, [&] {
        Sleep(500);
        std::vector<std::wstring> again = names();
        bool same = again == settled;
        settled = again;
        return same;
    })) << "the list settles";
    ASSERT_EQ(300u, settled.size());
    std::map<std::wstring, int> seen;
    for (const std::wstring& name : settled)
        ++seen[name];
    EXPECT_EQ(300u, seen.size()) << "every program exactly once";
    EXPECT_EQ(1, seen[L"P0"]);
    EXPECT_EQ(1, seen[L"P299"]);
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}

namespace {

// Ends every process started by the process with id parent, and theirs: a
// copying process whose installer was killed may wait for ever under Wine
// (its console went with the installer), holding the file it copies.
void EndDescendantsOf(DWORD parent)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    std::vector<DWORD> children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == parent && entry.th32ProcessID != parent)
            children.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    for (DWORD child : children) {
        EndDescendantsOf(child);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child);
        if (process) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
}

} // namespace

// The process running an update of many files is killed half-way: the next
// start of the launcher puts the folder back to the recorded build, file by
// file, before anything else touches it.
namespace {

// How far an update of the data folder's programs has gone, counted by the old
// copies moved aside: reading the program's files would hold them open, and a
// held file stops the update before it begins.
int OldCopiesAside(const std::wstring& dataFolder)
{
    int count = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dataFolder + L"morvindex_tmp.undo\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do
        count += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(found.cFileName, kJournalFileName) != 0;
    while (FindNextFileW(find, &found));
    FindClose(find);
    return count;
}

/// A launcher copy with ABC build 1 (60 files) installed and recorded, and the
/// archive of build 2 (the same files newer, and a new folder) in scratch.
struct Build1Installed {
    static constexpr int kFiles = 60;
    Build1Installed()
    {
        launcher.ShipSyncLibrary();
        std::filesystem::create_directories(data + L"apps");
        std::vector<ZipEntry> second;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            first.push_back({name, "build 1 of " + name, MakeDos(2024, 1, 1, 0, 0, 0)});
            second.push_back({name, "build 2 of " + name, MakeDos(2024, 2, 1, 0, 0, 0)});
        }
        second.push_back({"nuova cartella/n.txt", "new in build 2", MakeDos(2024, 2, 1, 0, 0, 0)});
        ready = WriteZip(scratch / L"ABC_1.zip", first) && WriteZip(scratch / L"ABC_2.zip", second) &&
                UpdateFolderFromArchiveNow(scratch.Narrow() + "ABC_1.zip", staging, Utf8FromWide(installed));
        WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"1");
        WriteRegString(HKEY_CURRENT_USER, key, L"PATH", installed);
    }
    /// The folder holds exactly build 1, with its times, and build 1 is recorded.
    void ExpectBuild1() const
    {
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            EXPECT_EQ("build 1 of " + name, ReadBytes(installed + L"\\" + WideFromUtf8(name)));
            const FILETIME expected = FileTimeOf(first[static_cast<size_t>(i)].stamp);
            const FILETIME actual = WriteTimeOf(installed + L"\\" + WideFromUtf8(name));
            EXPECT_EQ(0, CompareFileTime(&expected, &actual)) << name << " keeps its time";
        }
        EXPECT_FALSE(FileExists(installed + L"\\nuova cartella"));
        EXPECT_EQ(L"1", ReadRegString(HKEY_CURRENT_USER, key, L"VERSION"));
        std::string tag;
        EXPECT_FALSE(PendingArchiveStep(staging, tag));
    }

    TempDir scratch;
    LauncherCopy launcher;
    const std::wstring data = launcher.DataFolder();
    const std::wstring installed = data + L"apps\\ABC";
    const std::string staging = Utf8FromWide(data) + "morvindex_tmp";
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    std::vector<ZipEntry> first;
    bool ready = false;
};

} // namespace

/// A step of build 2 ended from outside half-way, and what else happened
/// before the next start.
struct KilledStep {
    const char* name;
    /// The step's tag: a repair or re-install of the recorded build 1 carries
    /// build 1 (as an older launcher tagged it, or with an identity of its own).
    const wchar_t* tag;
    /// A cleaner removed the staging folder, leaving the journal beside it.
    bool stagingRemoved;
};

class KilledMidway : public ::testing::TestWithParam<KilledStep> {};

INSTANTIATE_TEST_SUITE_P(Startup, KilledMidway,
                         ::testing::Values(KilledStep{"Update", L"ABC=2;s2", false},
                                           KilledStep{"RepairTaggedTheOldWay", L"ABC=1", false},
                                           KilledStep{"Repair", L"ABC=1;s2", false},
                                           KilledStep{"UpdateWhoseStagingACleanerRemoved", L"ABC=2;s2", true}),
                         [](const ::testing::TestParamInfo<KilledStep>& info) { return std::string(info.param.name); });

// The process running a step of many files is killed half-way: the next start
// of the launcher puts the folder back to the recorded build, file by file,
// before anything else touches it; a repair of that very build too, and a
// step whose staging folder is gone.
TEST_P(KilledMidway, StepIsPutBackFileByFileAtTheNextStart)
{
    Build1Installed abc;
    ASSERT_TRUE(abc.ready);
    const int kFiles = Build1Installed::kFiles;
    const std::wstring& data = abc.data;
    const std::wstring& installed = abc.installed;
    const std::string& staging = abc.staging;
    TempDir& scratch = abc.scratch;

    // Build 2 by a process of its own, as the launcher installs it, ended
    // from outside once a good part of the files are new.
    const std::wstring probe = BinaryFolder() + L"binding_probe.exe";
    std::wstring commandLine = L"\"" + probe + L"\" --step \"" + WideFromUtf8(staging) + L"\" \"" + installed +
                               L"\" " + GetParam().tag + L" \"" + (scratch / L"ABC_2.zip") + L"\"";
    PROCESS_INFORMATION updating = {};
    HANDLE tree = nullptr;
    ASSERT_TRUE(StartWithoutOutput(probe, commandLine, updating, tree));
    auto newFiles = [&] {
        int count = 0;
        for (int i = 0; i < kFiles; ++i)
            count += ReadBytes(installed + L"\\f" + std::to_wstring(i) + L".txt").rfind("build 2", 0) == 0;
        return count;
    };
    const bool midway = WaitUntil(120000, [&] { return OldCopiesAside(data) >= 10; });
    TerminateProcess(updating.hProcess, 1);
    WaitForSingleObject(updating.hProcess, 60000);
    const DWORD updatingId = updating.dwProcessId;
    EndDescendantsOf(updatingId);
    CloseHandle(updating.hProcess);
    CloseHandle(updating.hThread);
    ASSERT_TRUE(midway);
    const int mixed = newFiles();
    ASSERT_GT(mixed, 0) << "a mix of two builds, until the next start";
    ASSERT_LT(mixed, kFiles) << "killed before the end";
    if (GetParam().stagingRemoved)
        ASSERT_TRUE(WaitUntil(10000, [&] {
            std::error_code error;
            std::filesystem::remove_all(std::filesystem::path(WideFromUtf8(staging)), error);
            return !FileExists(WideFromUtf8(staging));
        }));

    HANDLE process = abc.launcher.Start();
    ASSERT_NE(nullptr, LauncherCopy::WaitMainWindow(process, kStartTimeout));
    abc.ExpectBuild1();
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    // A copying process the killed one was still starting shows up later.
    EndDescendantsOf(updatingId);
    if (tree) {
        TerminateJobObject(tree, 1);
        CloseHandle(tree);
    }
}

// Closing the window while an update copies its files stops it between two
// files and puts the previous build back before the process ends.
TEST(Startup, ClosingDuringTheCopiesPutsThePreviousBuildBack)
{
    Build1Installed abc;
    ASSERT_TRUE(abc.ready);
    std::map<std::string, std::string> files;
    LoopbackServer server([&](const HttpRequest& request) { return StaticFiles(files)(request); });
    files = {{"/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/") + "\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\n"},
             {"/sw_repo.dat", "[PRINCIPALE]\r\nURL=" + server.Url("/sw_index.dat") + "\r\n"},
             {"/ABC/ABC_2.zip", ReadBytes(abc.scratch / L"ABC_2.zip")}};
    abc.launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));

    HANDLE process = abc.launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    ASSERT_TRUE(WaitUntil(60000, [&] { return OldCopiesAside(abc.data) >= 5; })) << "the copies under way";
    // Well inside the 120 s an unstoppable copy phase was waited for.
    EXPECT_TRUE(LauncherCopy::Close(process, 60000));
    abc.ExpectBuild1();
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
