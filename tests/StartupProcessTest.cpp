// The real MorvIndex.exe under Wine, each test with its own copy of the
// executable (so its own program name, registry keys and shared window slot)
// and its own APPDATA: the first and second starts, the settings, the list the
// catalogue worker fills and the window's choices. The installations from the
// window are in InstallProcessTest.cpp, the steps put back at the next start
// in RollBackProcessTest.cpp.
#include "catalogue/CatalogueFiles.h"
#include "net/Crypto.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstring>
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
