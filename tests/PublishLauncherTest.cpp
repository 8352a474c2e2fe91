// The maker's tool and the launcher's own builds: the launcher command takes
// a build's number and width from its files; a launcher updates itself from
// the site (and comes back from a build that does not start); the setup
// written with --setup installs the launcher for a user and removes it again.
#include "format/LauncherImage.h"
#include "format/SetupImage.h"
#include "net/Crypto.h"
#include "publish/Commands.h"
#include "publish/Signing.h"
#include "publish/SiteCheck.h"
#include "selfupdate/FirstInstall.h"
#include "selfupdate/SelfUpdate.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/PublishSupport.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"
#include "trelko_util/Unzipper.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <filesystem>
#include <functional>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {
/// A launcher build folder as the maker has it: the program of a build (the
/// test build's own, or a later one), the library and the pictures, and a
/// server.dat that must never travel.
std::wstring LauncherBuildFolder(const std::wstring& folder, const std::wstring& program)
{
    fs::create_directories(fs::path(folder));
    CopyFileW(program.c_str(), (folder + L"\\MorvIndex.exe").c_str(), FALSE);
    CopyFileW((BinaryFolder() + L"trelko_util_r.dll").c_str(), (folder + L"\\trelko_util_r.dll").c_str(), FALSE);
    for (const wchar_t* picture : kLauncherPictures)
        CopyFileW((BinaryFolder() + picture).c_str(), (folder + L"\\" + picture).c_str(), FALSE);
    WriteBytes(folder + L"\\server.dat", "[SIGNATURE]\r\nKEY=secret of the user\r\n");
    return folder;
}
} // namespace

// The launcher command takes the build from the program's version resource
// and the width from its header; it refuses an incomplete folder, a library
// of the other width and a build not above the published one, writing
// nothing; check refuses an archive whose program disagrees with its section.
TEST_F(PublishSite, LauncherBuildsGoOutUnderTheirOwnBuildAndWidth)
{
    const std::string section = LauncherSection(RunningWidth());
    ASSERT_EQ(kPublishDone, Run({L"init", site, L"http://example.test/sw/"})) << Joined(reporter.lines);
    const std::wstring current = LauncherBuildFolder(work / L"build corrente", BinaryFolder() + L"MorvIndex.exe");
    const std::wstring next = LauncherBuildFolder(work / L"build è nuova", BinaryFolder() + L"next\\MorvIndex.exe");
    const std::string index = ReadBytes(site + L"\\sw_index.dat");

    const std::wstring spoilt = work / L"spoilt";
    fs::create_directories(fs::path(spoilt));
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, spoilt}));
    EXPECT_TRUE(Said("no MorvIndex.exe")) << Joined(reporter.lines);
    CopyFileW((current + L"\\MorvIndex.exe").c_str(), (spoilt + L"\\MorvIndex.exe").c_str(), FALSE);
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, spoilt}));
    EXPECT_TRUE(Said("no trelko_util_r.dll")) << Joined(reporter.lines);
    std::string library = ReadBytes(current + L"\\trelko_util_r.dll");
    const uint32_t header = static_cast<unsigned char>(library[0x3C]) | (static_cast<unsigned char>(library[0x3D]) << 8);
    const bool wide = RunningWidth() == ImageWidth::X86_64;
    library[header + 4] = wide ? '\x4C' : '\x64';
    library[header + 5] = wide ? '\x01' : '\x86';
    WriteBytes(spoilt + L"\\trelko_util_r.dll", library);
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, spoilt}));
    EXPECT_TRUE(Said("library beside")) << Joined(reporter.lines);
    CopyFileW((current + L"\\trelko_util_r.dll").c_str(), (spoilt + L"\\trelko_util_r.dll").c_str(), FALSE);
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, spoilt}));
    EXPECT_TRUE(Said("no sw_con.png")) << Joined(reporter.lines);
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, current, L"--setup", current + L"\\server.dat"}));
    EXPECT_TRUE(Said("no usable key")) << Joined(reporter.lines);
    // Two key lines: the launcher would trust neither.
    WriteBytes(work / L"two keys.dat", std::string("[SIGNATURE]\r\nKEY=") + kMakerKey.spkiBase64 + "\r\nKEY=" +
                                           kMakerKey.spkiBase64 + "\r\n");
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, current, L"--setup", work / L"two keys.dat"}));
    EXPECT_TRUE(Said("no usable key")) << Joined(reporter.lines);
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, current, L"--setup", work / L"nessun server.dat"}));
    EXPECT_TRUE(Said("no such file")) << Joined(reporter.lines);
    // A line over the limit ends the launchers' reading: the section written after it would be unread.
    const std::string overlong = index + "NOTE=" + std::string(1100, 'x') + "\r\n";
    WriteBytes(site + L"\\sw_index.dat", overlong);
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, current}));
    EXPECT_TRUE(Said("is over 1023 bytes")) << Joined(reporter.lines);
    EXPECT_EQ(overlong, ReadBytes(site + L"\\sw_index.dat"));
    WriteBytes(site + L"\\sw_index.dat", index);
    EXPECT_EQ(index, ReadBytes(site + L"\\sw_index.dat"));
    EXPECT_FALSE(FileExists(site + L"\\launcher"));
    EXPECT_FALSE(FileExists(site + L"\\MorvIndex-setup.exe"));

    ASSERT_EQ(kPublishDone, Run({L"launcher", site, current})) << Joined(reporter.lines);
    EXPECT_TRUE(Said("server.dat is not packed")) << Joined(reporter.lines);
    const std::wstring archive = site + L"\\" + WideFromUtf8(LauncherArchivePath(RunningWidth(), MORVINDEX_BUILD));
    std::vector<EntryRecord> entries;
    ASSERT_TRUE(ListEntryRecords(archive, entries));
    std::vector<std::string> names;
    for (const EntryRecord& entry : entries)
        names.push_back(entry.name);
    EXPECT_EQ((std::vector<std::string>{"MorvIndex.exe", "trelko_util_r.dll", "sw_con.png", "sw_win.png",
                                        "up_001.png", "up_002.png", "up_003.png"}),
              names);
    KeyValueStore published;
    published.LoadText(ReadBytes(site + L"\\sw_index.dat"));
    EXPECT_EQ(std::to_string(MORVINDEX_BUILD), published.GetValue(section, "BUILD_DISP"));
    EXPECT_EQ("10", published.GetValue(section, "SW_TYPE")) << "never listed";
    EXPECT_EQ(HexOf(Sha256Of(ReadBytes(archive))), published.GetValue(section, "SHA256"));

    const std::string once = ReadBytes(site + L"\\sw_index.dat");
    EXPECT_EQ(kPublishFailed, Run({L"launcher", site, current}));
    EXPECT_TRUE(Said("offers build " + std::to_string(MORVINDEX_BUILD) + " already")) << Joined(reporter.lines);
    EXPECT_EQ(once, ReadBytes(site + L"\\sw_index.dat"));
    ASSERT_EQ(kPublishDone, Run({L"launcher", site, next})) << Joined(reporter.lines);
    EXPECT_TRUE(FileExists(archive)) << "the previous build's archive stays for launchers that fetch it now";
    SiteReport report = CheckSite(site);
    EXPECT_EQ(0u, report.problems.size()) << Joined(report.problems);

    // A section whose archive holds another build, or the other width.
    EditIndex(site, [](DataFileLines& lines) {
        lines.Set(LauncherSection(RunningWidth()), "BUILD_DISP", std::to_string(MORVINDEX_BUILD + 5));
    });
    report = CheckSite(site);
    ASSERT_EQ(1u, report.problems.size()) << Joined(report.problems);
    EXPECT_NE(std::string::npos, report.problems[0].find("holds build " + std::to_string(MORVINDEX_BUILD + 1)))
        << report.problems[0];
    const ImageWidth other = wide ? ImageWidth::I686 : ImageWidth::X86_64;
    std::string moved = ReadBytes(site + L"\\sw_index.dat");
    moved.replace(moved.find("[" + section + "]"), section.size() + 2, "[" + LauncherSection(other) + "]");
    WriteBytes(site + L"\\sw_index.dat", moved);
    EditIndex(site, [other](DataFileLines& lines) {
        lines.Set(LauncherSection(other), "BUILD_DISP", std::to_string(MORVINDEX_BUILD + 1));
    });
    report = CheckSite(site);
    ASSERT_EQ(1u, report.problems.size()) << Joined(report.problems);
    EXPECT_NE(std::string::npos, report.problems[0].find(std::string("in the section for ") + WidthName(other)))
        << report.problems[0];
}

namespace {
/// Any visible main window of a launcher, and its process, opened to be
/// watched and closed (the tests of this program never run beside each other).
BOOL CALLBACK FindAnyLauncherWindow(HWND window, LPARAM data)
{
    wchar_t title[64] = {}, kind[16] = {};
    GetWindowTextW(window, title, 64);
    GetClassNameW(window, kind, 16);
    if (IsWindowVisible(window) && std::wstring(title) == L"MorvIndex" && std::wstring(kind) == L"#32770") {
        *reinterpret_cast<HWND*>(data) = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindLauncherWindow(HANDLE& process, DWORD milliseconds)
{
    HWND found = nullptr;
    process = nullptr;
    WaitUntil(milliseconds, [&found] {
        EnumWindows(FindAnyLauncherWindow, reinterpret_cast<LPARAM>(&found));
        return found != nullptr;
    });
    if (found) {
        DWORD id = 0;
        GetWindowThreadProcessId(found, &id);
        process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, id);
    }
    return found;
}

std::wstring StatusText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(GetDlgItem(window, 1010), text, 512);
    return text;
}

// A site served on loopback and the maker's key (maker.pem in the work
// folder), for the launcher's own builds.
class LauncherSite : public PublishSite {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(GenerateKey(maker));
        WriteBytes(work / L"maker.pem", PrivateKeyPem(maker));
    }

    LoopbackServer server{FolderFiles(site + L"\\")};
    SigningKey maker;
};

size_t RequestsFor(const LoopbackServer& server, const std::string& path)
{
    size_t count = 0;
    for (const HttpRequest& request : server.Requests())
        count += request.target == path;
    return count;
}
} // namespace

// The maker publishes the next launcher build and signs; a launcher of this
// build under its own name fetches it, and at its next start hands over to
// it: the program keeps its name and now says the next build in its About
// box. A build after that which ends at once is rolled back: the previous
// build shows its window with one status line, and never fetches that build
// again.
TEST_F(LauncherSite, LauncherUpdatesItselfAndABuildThatDoesNotStartComesBack)
{
    ASSERT_EQ(kPublishDone, Run({L"init", site, WideFromUtf8(server.Url("/"))})) << Joined(reporter.lines);
    const std::wstring next = LauncherBuildFolder(work / L"next", BinaryFolder() + L"next\\MorvIndex.exe");
    ASSERT_EQ(kPublishDone, Run({L"launcher", site, next})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);

    LauncherCopy launcher(L"Programmi di Niccolò");
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    WriteBytes(launcher.Folder() + L"server.dat", "[SIGNATURE]\r\nKEY=" + PublicKeyText(maker) + "\r\n");
    launcher.ShipSyncLibrary();
    const std::wstring pending = launcher.DataFolder() + L"launcher\\pending.dat";

    // Build 7 fetches build 8 and says so; nothing changes yet.
    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(WaitUntil(30000, [&] {
        return FileExists(pending) && StatusText(window).find(L"pronta") != std::wstring::npos;
    })) << Utf8FromWide(StatusText(window)) << [&] {
        std::string asked;
        for (const HttpRequest& request : server.Requests())
            asked += request.target + " ";
        return asked;
    }();
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_EQ(MORVINDEX_BUILD, ReadImageFacts(ReadBytes(launcher.ExePath())).build);

    // The next start, from a web page, hands over to build 8 under the same
    // name; the request is handled once, by build 8.
    process = launcher.Start(L"morvindex:SW_CODE=NESSUNO");
    EXPECT_EQ(0u, LauncherCopy::WaitExit(process, 90000)) << "the previous build ends once the new one proved itself";
    EXPECT_EQ(MORVINDEX_BUILD + 1, ReadImageFacts(ReadBytes(launcher.ExePath())).build);
    HANDLE successor = nullptr;
    window = FindLauncherWindow(successor, kStartTimeout);
    ASSERT_NE(nullptr, window);
    ASSERT_NE(nullptr, successor);
    HWND notInstalled = WaitMessageBox(successor, L"Aggiornamento", 30000);
    ASSERT_NE(nullptr, notInstalled) << "the web request reaches the new build";
    PostMessageW(notInstalled, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil(10000, [&] {
        return !FileExists(launcher.DataFolder() + L"invoke.morvindex") &&
               !FileExists(launcher.DataFolder() + L"gogo.morvindex");
    }));
    PostMessageW(window, WM_SYSCOMMAND, 0x0010, 0);
    HWND about = WaitMessageBox(successor, L"Informazioni su MorvIndex", 10000);
    ASSERT_NE(nullptr, about);
    wchar_t line[64] = {};
    GetDlgItemTextW(about, 1022, line, 64);
    EXPECT_EQ(L"MorvIndex, Build " + std::to_wstring(MORVINDEX_BUILD + 1), line);
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(FileExists(pending));
    EXPECT_TRUE(LauncherCopy::Close(successor, kStartTimeout));
    CloseHandle(successor);

    // A build that ends at once: published, fetched, tried once, rolled back.
    const std::wstring broken = LauncherBuildFolder(work / L"broken", BinaryFolder() + L"broken\\MorvIndex.exe");
    ASSERT_EQ(kPublishDone, Run({L"launcher", site, broken})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);
    process = launcher.Start();
    window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(WaitUntil(30000, [&] { return FileExists(pending); }));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_FALSE(FileExists(launcher.Folder() + L"~morvindex_old")) << "the step before is cleaned up";

    process = launcher.Start();
    window = LauncherCopy::WaitMainWindow(process, 90000);
    ASSERT_NE(nullptr, window) << "the previous build carries on as the launcher";
    const std::wstring back = L"La build " + std::to_wstring(MORVINDEX_BUILD + 2) +
                              L" di MorvIndex non \u00e8 partita: \u00e8 tornata la build " +
                              std::to_wstring(MORVINDEX_BUILD + 1) + L".";
    EXPECT_TRUE(WaitUntil(30000, [&] { return StatusText(window).find(back) != std::wstring::npos; }))
        << Utf8FromWide(StatusText(window));
    EXPECT_EQ(MORVINDEX_BUILD + 1, ReadImageFacts(ReadBytes(launcher.ExePath())).build);
    // The line comes once this run has decided on the offer: the bad build
    // was not fetched again.
    EXPECT_EQ(1u, RequestsFor(server, "/" + LauncherArchivePath(RunningWidth(), MORVINDEX_BUILD + 2)));
    EXPECT_FALSE(FileExists(pending));
    EXPECT_EQ(0, SendMessageW(GetDlgItem(window, 1000), LVM_GETITEMCOUNT, 0, 0)) << "launcher sections are never listed";
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_EQ(std::to_wstring(MORVINDEX_BUILD + 2),
              ReadRegString(HKEY_CURRENT_USER, L"software\\" + launcher.Name() + L"\\index", L"LAUNCHER_BAD_BUILDS"));

}

namespace {
/// Starts commandLine with APPDATA and LOCALAPPDATA of the test's own, as a
/// user's profile gives them (Wine takes neither from the Unix environment).
HANDLE StartWithProfile(const std::wstring& program, std::wstring commandLine, const std::wstring& roaming,
                        const std::wstring& local, const std::wstring& folder)
{
    std::wstring block;
    wchar_t* environment = GetEnvironmentStringsW();
    for (const wchar_t* entry = environment; *entry; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"APPDATA=", 8) != 0 && _wcsnicmp(entry, L"LOCALAPPDATA=", 13) != 0)
            block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(environment);
    block.append(L"APPDATA=" + roaming).push_back(L'\0');
    block.append(L"LOCALAPPDATA=" + local).push_back(L'\0');
    block.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        &block[0], folder.c_str(), &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool Answer(HANDLE process, const wchar_t* caption, int button)
{
    HWND box = WaitMessageBox(process, caption, kStartTimeout);
    if (!box)
        return false;
    PostMessageW(box, WM_COMMAND, button, 0);
    // A second question may bear the same caption: this one must be gone first.
    return WaitUntil(kStartTimeout, [box] { return !IsWindow(box); });
}
} // namespace

// The maker writes the setup with the site's launcher; a user saves it in a
// folder with spaces and accents and starts it: asked once, it installs the
// launcher with its files and the maker's server.dat in the user's own
// folder, with a shortcut and a list entry, and starts it from there; the
// entry's command takes it all away again and leaves the installed programs
// when asked to.
TEST_F(LauncherSite, SetupInstallsForTheUserFromAnyFolderAndItsEntryRemovesIt)
{
    const std::string serverDat = "[SIGNATURE]\r\nKEY=" + PublicKeyText(maker) + "\r\n[SERVER]\r\nURL=" +
                                  server.Url("/sw_index.dat") + "\r\n[REPOSITORY]\r\nURL=" +
                                  server.Url("/sw_repo.dat") + "\r\n";
    WriteBytes(work / L"server del produttore.dat", serverDat);
    ASSERT_EQ(kPublishDone, Run({L"init", site, WideFromUtf8(server.Url("/"))})) << Joined(reporter.lines);
    const std::wstring current = LauncherBuildFolder(work / L"build", BinaryFolder() + L"MorvIndex.exe");
    ASSERT_EQ(kPublishDone, Run({L"launcher", site, current, L"--setup", work / L"server del produttore.dat"}))
        << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);

    const std::wstring downloads = work / L"Scaricati di Niccol\u00f2 B\u00e0rbaro";
    const std::wstring roaming = work / L"Roaming di Niccol\u00f2";
    const std::wstring local = work / L"Locale di Niccol\u00f2";
    for (const std::wstring& folder : {downloads, roaming, local})
        fs::create_directories(fs::path(folder));
    const std::wstring setup = downloads + L"\\MorvIndex-setup.exe";
    ASSERT_TRUE(CopyFileW((site + L"\\MorvIndex-setup.exe").c_str(), setup.c_str(), FALSE));
    const InstallPlace place =
        InstallPlaceFor(local, roaming + L"\\Microsoft\\Windows\\Start Menu\\Programs");
    struct Cleanup {
        ~Cleanup()
        {
            DeleteRegTree(HKEY_CURRENT_USER, L"software\\morvindex");
            DeleteRegTree(HKEY_CURRENT_USER, L"SOFTWARE\\Classes\\morvindex");
            DeleteRegTree(HKEY_CLASSES_ROOT, L".morvindex");
            DeleteRegTree(HKEY_CURRENT_USER, kUninstallEntryKey);
        }
    } cleanup;

    // Said no: nothing happens.
    HANDLE process = StartWithProfile(setup, L"\"" + setup + L"\"", roaming, local, downloads);
    ASSERT_NE(nullptr, process);
    ASSERT_TRUE(Answer(process, L"Installazione di MorvIndex", IDNO));
    EXPECT_EQ(0u, LauncherCopy::WaitExit(process, kStartTimeout));
    CloseHandle(process);
    EXPECT_FALSE(FileExists(place.folder));
    EXPECT_EQ(L"<missing>", ReadRegString(HKEY_CURRENT_USER, kUninstallEntryKey, L"DisplayName"));
    EXPECT_FALSE(FileExists(roaming + L"\\morvindex-setup")) << "the setup keeps no data of its own";

    process = StartWithProfile(setup, L"\"" + setup + L"\"", roaming, local, downloads);
    ASSERT_NE(nullptr, process);
    ASSERT_TRUE(Answer(process, L"Installazione di MorvIndex", IDYES));
    EXPECT_EQ(0u, LauncherCopy::WaitExit(process, kStartTimeout));
    CloseHandle(process);
    HANDLE installed = nullptr;
    HWND window = FindLauncherWindow(installed, kStartTimeout);
    ASSERT_NE(nullptr, window) << "the launcher starts from its new place";
    ASSERT_NE(nullptr, installed);
    wchar_t image[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    QueryFullProcessImageNameW(installed, 0, image, &length);
    EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(image, -1, place.program.c_str(), -1, TRUE)) << Utf8FromWide(image);
    EXPECT_TRUE(LauncherCopy::Close(installed, kStartTimeout));
    CloseHandle(installed);

    const std::string program = ReadBytes(place.program);
    EXPECT_EQ(MORVINDEX_BUILD, ReadImageFacts(program).build);
    EXPECT_EQ(ReadBytes(BinaryFolder() + L"MorvIndex.exe"), program) << "the program without what the setup carried";
    EXPECT_EQ(serverDat, ReadBytes(place.folder + L"server.dat"));
    EXPECT_EQ(ReadBytes(BinaryFolder() + L"trelko_util_r.dll"), ReadBytes(place.folder + L"trelko_util_r.dll"));
    for (const wchar_t* picture : kLauncherPictures)
        EXPECT_EQ(ReadBytes(BinaryFolder() + picture), ReadBytes(place.folder + picture)) << Utf8FromWide(picture);
    EXPECT_TRUE(FileExists(place.shortcut));
    const std::wstring command = ReadRegString(HKEY_CURRENT_USER, kUninstallEntryKey, L"UninstallString");
    EXPECT_EQ(L"\"" + place.program + L"\" /uninstall", command);
    EXPECT_EQ(L"1.0.0." + std::to_wstring(MORVINDEX_BUILD),
              ReadRegString(HKEY_CURRENT_USER, kUninstallEntryKey, L"DisplayVersion"));
    EXPECT_NE(L"<missing>", ReadRegString(HKEY_CURRENT_USER, L"SOFTWARE\\Classes\\morvindex\\shell\\open\\command"));

    // A program the launcher installed, which the user keeps.
    const std::wstring kept = work / L"TOPOCAD";
    fs::create_directories(fs::path(kept));
    WriteBytes(kept + L"\\topocad.exe", "program");
    WriteRegString(HKEY_CURRENT_USER, L"software\\morvindex\\index\\TOPOCAD", L"VERSION", L"17");
    WriteRegString(HKEY_CURRENT_USER, L"software\\morvindex\\index\\TOPOCAD", L"PATH", kept + L"\\");

    process = StartWithProfile(place.program, command, roaming, local, place.folder);
    ASSERT_NE(nullptr, process);
    ASSERT_TRUE(Answer(process, L"Disinstallazione di MorvIndex", IDYES));
    ASSERT_TRUE(Answer(process, L"Disinstallazione di MorvIndex", IDNO));
    EXPECT_EQ(0u, LauncherCopy::WaitExit(process, kStartTimeout));
    CloseHandle(process);
    EXPECT_FALSE(FileExists(place.shortcut));
    EXPECT_EQ(L"<missing>", ReadRegString(HKEY_CURRENT_USER, kUninstallEntryKey, L"UninstallString"));
    EXPECT_EQ(L"<missing>", ReadRegString(HKEY_CURRENT_USER, L"SOFTWARE\\Classes\\morvindex\\shell\\open\\command"));
    EXPECT_FALSE(FileExists(place.folder + L"trelko_util_r.dll"));
    EXPECT_FALSE(FileExists(place.folder + L"server.dat"));
    EXPECT_TRUE(WaitUntil(20000, [&] { return !FileExists(place.folder); })) << "the folder goes once it has ended";
    EXPECT_TRUE(FileExists(kept + L"\\topocad.exe"));
}
