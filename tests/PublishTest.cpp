// morvindex-publish: a site built with it is what the launcher lists and
// installs, and its check finds each trap of a hand-made site.
#include "catalogue/CatalogueFiles.h"
#include "format/ArchiveEntries.h"
#include "net/Crypto.h"
#include "publish/Commands.h"
#include "publish/DataFileLines.h"
#include "publish/Packer.h"
#include "publish/StagedFiles.h"
#include "publish/Signing.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "format/LauncherImage.h"
#include "selfupdate/FirstInstall.h"
#include "selfupdate/SelfUpdate.h"
#include "format/SetupImage.h"
#include "trelko_util/Unzipper.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <filesystem>
#include <functional>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {
/// Runs morvindex-publish.exe with arguments; its exit code, and what it wrote in output.
DWORD RunTool(const std::wstring& arguments, std::string& output, const std::wstring& folder)
{
    // A file of its own for each run: the console host Wine starts beside a
    // console program may hold the previous one a little longer.
    const std::wstring log = folder + UniqueName(L"tool-output") + L".txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::wstring tool = BinaryFolder() + L"morvindex-publish.exe";
    std::wstring commandLine = L"\"" + tool + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION info = {};
    DWORD code = STILL_ACTIVE;
    if (CreateProcessW(tool.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       folder.c_str(), &startup, &info)) {
        WaitForSingleObject(info.hProcess, 60000);
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(file);
    output = ReadBytes(log);
    return code;
}

/// Serves the files of a folder by path, "/" at the folder.
LoopbackServer::Handler FolderFiles(const std::wstring& folder)
{
    return [folder](const HttpRequest& request) {
        HttpResponse response;
        std::wstring path = folder;
        for (wchar_t c : WideFromUtf8(request.target.substr(1)))
            path += c == L'/' ? L'\\' : c;
        if (!FileExists(path)) {
            response.status = 404;
            response.body = "<html>404</html>";
        } else {
            response.body = ReadBytes(path);
        }
        return response;
    };
}

FILETIME UtcTime(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return file;
}

void WriteFileAt(const std::wstring& path, const std::string& bytes, FILETIME time)
{
    fs::create_directories(fs::path(path).parent_path());
    WriteBytes(path, bytes);
    SetWriteTime(path, time);
}

bool SameTime(FILETIME a, FILETIME b) { return CompareFileTime(&a, &b) == 0; }

class CollectingReporter : public Reporter {
public:
    void Line(const std::string& utf8) override { lines.push_back(utf8); }
    void Error(const std::string& utf8) override { lines.push_back("error: " + utf8); }
    std::vector<std::string> lines;
};

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}
} // namespace

// A maker's whole road: init, two programs and a package added, the site
// signed with a new key and checked clean; the launcher with that key lists
// it from the loopback server and installs with entry times as the files had.
TEST(Publish, SiteBuiltWithTheToolIsListedAndInstalledByTheLauncherWithTheKey)
{
    TempDir work;
    const std::wstring site = work / L"site";
    LoopbackServer server(FolderFiles(site + L"\\"));
    const std::wstring base = WideFromUtf8(server.Url("/"));
    // Summer and winter times, so both daylight-saving rules meet the entry dates.
    const FILETIME summer = UtcTime(2024, 7, 15, 10, 30, 4);
    const FILETIME winter = UtcTime(2024, 1, 15, 23, 59, 58);
    WriteFileAt(work / L"abc\\probe.exe", ReadBytes(BinaryFolder() + L"binding_probe.exe"), winter);
    WriteFileAt(work / L"abc\\dati\\leggimi.txt", "ABC build 1", summer);
    WriteFileAt(work / L"xyz\\xyz.txt", "XYZ", winter);
    WriteFileAt(work / L"dep\\runtime\\dep.dll", "DEP", summer);

    std::string output;
    EXPECT_EQ(0u, RunTool(L"init site " + base, output, work.Path())) << output;
    EXPECT_EQ(0u, RunTool(L"add site dep 3 dep --package", output, work.Path())) << output;
    EXPECT_EQ(0u, RunTool(L"add site abc 1 abc --execute probe.exe --deps dep --title \"Àbc è\" --category Prove",
                          output, work.Path()))
        << output;
    EXPECT_EQ(0u, RunTool(L"add site XYZ 2 xyz", output, work.Path())) << output;
    // A refused add writes nothing.
    const std::string index = ReadBytes(site + L"\\sw_index.dat");
    EXPECT_EQ(1u, RunTool(L"add site XYZ 3 xyz --execute missing.exe", output, work.Path())) << output;
    EXPECT_NE(std::string::npos, output.find("missing.exe")) << output;
    // So does a folder with names the library would refuse, each one named.
    const std::wstring bad = L"\\\\?\\" + work.Path() + L"bad\\";
    const std::wstring deep = bad + std::wstring(100, L'd') + L"\\" + std::wstring(100, L'e') + L"\\";
    for (const std::wstring& folder : {bad, bad + std::wstring(100, L'd'), deep})
        CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring refused[] = {bad + L"trailing dot.", bad + L"trailing space ",
                                    deep + std::wstring(60, L'f') + L".txt"};
    for (const std::wstring& path : refused)
        WriteBytes(path, "x");
    WriteBytes(bad + L"XYZ.exe", "XYZ");
    EXPECT_EQ(1u, RunTool(L"add site XYZ 3 bad", output, work.Path())) << output;
    for (const char* named : {"\"trailing dot.\"", "\"trailing space \"", ".txt\": name of 266 bytes, over 260"})
        EXPECT_NE(std::string::npos, output.find(named)) << output;
    for (const std::wstring& path : refused)
        DeleteFileW(path.c_str());
    EXPECT_EQ(index, ReadBytes(site + L"\\sw_index.dat"));
    EXPECT_FALSE(FileExists(site + L"\\XYZ\\XYZ_3.zip"));
    // Each program archive has its entries file beside it (which check reads below); packages do not.
    EXPECT_TRUE(FileExists(site + L"\\ABC\\ABC_1.zip.entries"));
    EXPECT_FALSE(FileExists(site + L"\\deps\\DEP.zip.entries"));

    EXPECT_EQ(0u, RunTool(L"keygen maker.pem", output, work.Path())) << output;
    const size_t at = output.find("KEY=");
    ASSERT_NE(std::string::npos, at) << output;
    const std::string key = output.substr(at + 4, output.find('\r', at) - at - 4);
    EXPECT_EQ(0u, RunTool(L"sign site maker.pem", output, work.Path())) << output;
    EXPECT_EQ(0u, RunTool(L"check site --key " + WideFromUtf8(key), output, work.Path())) << output;
    EXPECT_EQ("", output);

    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    WriteBytes(launcher.Folder() + L"server.dat", "[SIGNATURE]\r\nKEY=" + key + "\r\n");
    launcher.ShipSyncLibrary();
    HANDLE process = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 2; }))
        << "ABC and XYZ are listed; the package is not";
    const std::wstring settings = L"software\\" + launcher.Name() + L"\\index";
    PublicKey parsed;
    ASSERT_TRUE(ParsePublicKey(key, parsed));
    const std::wstring serialName = WideFromUtf8(SerialSettingName(true, KeyFingerprint(parsed)));
    EXPECT_EQ(L"5 ", ReadRegString(HKEY_CURRENT_USER, settings, serialName.c_str()).substr(0, 2))
        << "init, three adds and the signature";

    // Row 0 is ABC, the first by name.
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    HWND question = WaitMessageBox(process, L"Aggiornamento", 60000);
    ASSERT_NE(nullptr, question) << "the start is offered after the installation";
    PostMessageW(question, WM_COMMAND, IDNO, 0);
    const std::wstring installed = launcher.DataFolder() + L"apps\\ABC\\";
    EXPECT_EQ(L"1", ReadRegString(HKEY_CURRENT_USER, settings + L"\\ABC", L"VERSION"));
    EXPECT_EQ("ABC build 1", ReadBytes(installed + L"dati\\leggimi.txt"));
    EXPECT_EQ("DEP", ReadBytes(installed + L"runtime\\dep.dll"));
    EXPECT_TRUE(SameTime(summer, WriteTimeOf(installed + L"dati\\leggimi.txt")));
    EXPECT_TRUE(SameTime(summer, WriteTimeOf(installed + L"runtime\\dep.dll")));
    EXPECT_TRUE(SameTime(winter, WriteTimeOf(installed + L"probe.exe")));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}

namespace {
std::string PngHeader(unsigned width, unsigned height)
{
    std::string bytes("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
    for (unsigned value : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes + std::string(17, '\0');
}

void SignSite(const std::wstring& site, const SigningKey& key)
{
    for (const wchar_t* file : {L"\\sw_index.dat", L"\\sw_repo.dat"})
        WriteBytes(site + file + std::wstring(L".sig"), SignData(key, ReadBytes(site + file)));
}

void EditIndex(const std::wstring& site, const std::function<void(DataFileLines&)>& edit)
{
    DataFileLines lines(ReadBytes(site + L"\\sw_index.dat"));
    edit(lines);
    WriteBytes(site + L"\\sw_index.dat", lines.Text());
}

void AppendToIndex(const std::wstring& site, const std::string& text)
{
    WriteBytes(site + L"\\sw_index.dat", ReadBytes(site + L"\\sw_index.dat") + text);
}

/// Writes ABC's entries file and gives the index its SHA-256 and size.
void RemapAbc(const std::wstring& site, const std::string& entries)
{
    WriteBytes(site + L"\\ABC\\ABC_7.zip.entries", entries);
    EditIndex(site, [&entries](DataFileLines& lines) {
        lines.Set("ABC", "ENTRIES_SHA256", HexOf(Sha256Of(entries)));
        lines.Set("ABC", "ENTRIES_SIZE", std::to_string(entries.size()));
    });
}

/// Replaces ABC's archive and gives the index its true SHA256 and SIZE, and
/// its entries file when the archive can be mapped.
void RepublishAbc(const std::wstring& site, const std::string& bytes)
{
    WriteBytes(site + L"\\ABC\\ABC_7.zip", bytes);
    EditIndex(site, [&bytes](DataFileLines& lines) {
        lines.Set("ABC", "SHA256", HexOf(Sha256Of(bytes)));
        lines.Set("ABC", "SIZE", std::to_string(bytes.size()));
    });
    ArchiveEntries entries;
    if (DescribeArchive(site + L"\\ABC\\ABC_7.zip", entries))
        RemapAbc(site, FormatEntriesFile(entries));
}

std::string ZipOf(const std::vector<ZipEntry>& entries, const std::wstring& scratch)
{
    WriteZip(scratch, entries);
    return ReadBytes(scratch);
}
} // namespace

// Each trap of a hand-edited site is one line naming file, section and key
// (the site signed again after the edit unless the trap is the signature);
// the clean site has none.
TEST(Publish, CheckNamesEachTrapInOneLine)
{
    TempDir work;
    const std::wstring clean = work / L"clean";
    WriteFileAt(work / L"abc\\abc.exe", "ABC", UtcTime(2024, 3, 1, 8, 0, 0));
    WriteFileAt(work / L"dep\\dep.dll", "DEP", UtcTime(2024, 3, 1, 8, 0, 0));
    CollectingReporter reporter;
    // The thumbnail is named before ABC is added: add writes its SHA256 and SIZE.
    const std::vector<std::vector<std::wstring>> commands = {
        {L"init", clean, L"http://example.test/sw/"},
        {L"add", clean, L"DEP", L"1", work / L"dep", L"--package"},
        {L"add", clean, L"ABC", L"7", work / L"abc", L"--execute", L"abc.exe", L"--deps", L"DEP"}};
    for (const auto& command : commands) {
        if (command[2] == L"ABC") {
            EditIndex(clean, [](DataFileLines& lines) { lines.Set("ABC", "THUMB", "img/abc.png"); });
            fs::create_directories(fs::path(clean + L"\\img"));
            WriteBytes(clean + L"\\img\\abc.png", PngHeader(48, 48));
        }
        ASSERT_EQ(0, RunPublish(command, reporter)) << Joined(reporter.lines);
    }
    EXPECT_EQ(HexOf(Sha256Of(PngHeader(48, 48))), [&clean] {
        KeyValueStore index;
        index.LoadFile(clean + L"\\sw_index.dat");
        return index.GetValue("ABC", "THUMB_SHA256");
    }());
    SigningKey maker, other;
    ASSERT_TRUE(GenerateKey(maker) && GenerateKey(other));
    SignSite(clean, maker);
    const std::string key = PublicKeyText(maker);
    SiteReport report = CheckSite(clean, key);
    EXPECT_EQ("", Joined(report.problems) + Joined(report.notes)) << "the clean site";

    const std::wstring scratchZip = work / L"scratch.zip";
    const struct {
        const char* expected; // the line's start; "" for no problem but a note
        std::function<void(const std::wstring&)> spoil;
        bool signAgain;
    } traps[] = {
        {"sw_index.dat: [ABC] DESCR: line 26 is 1106 bytes, over 1023",
         [](const std::wstring& site) { AppendToIndex(site, "DESCR=" + std::string(1100, 'x') + "\r\n"); }, true},
        {"sw_index.dat: [NUL] the section name is no plain file name",
         [](const std::wstring& site) { AppendToIndex(site, "\r\n[nul]\r\nSW_TYPE=1\r\n"); }, true},
        {"sw_index.dat: [QQQ] SW_TYPE: missing",
         [](const std::wstring& site) { AppendToIndex(site, "\r\n[QQQ]\r\nSW_TIPE=1\r\n"); }, true},
        {"sw_index.dat: [ABC] DEPS: \"NOPE\" names no package section",
         [](const std::wstring& site) { EditIndex(site, [](DataFileLines& l) { l.Set("ABC", "DEPS", "DEP,NOPE"); }); },
         true},
        {"sw_index.dat: [ABC] BUILD_DISP: archive ABC/ABC_7.zip is missing",
         [](const std::wstring& site) { DeleteFileW((site + L"\\ABC\\ABC_7.zip").c_str()); }, true},
        {"", // outside the site: a note, not a problem
         [](const std::wstring& site) {
             EditIndex(site, [](DataFileLines& l) { l.Set("ABC", "DOWNLOAD_FILE", "../../elsewhere/abc.zip"); });
         },
         true},
        {"sw_index.dat: [ABC] SHA256: differs from archive ABC/ABC_7.zip",
         [](const std::wstring& site) {
             EditIndex(site, [](DataFileLines& l) { l.Set("ABC", "SHA256", std::string(64, 'A')); });
         },
         true},
        {"sw_index.dat: [ABC] SIZE: 1 bytes, but archive ABC/ABC_7.zip has",
         [](const std::wstring& site) { EditIndex(site, [](DataFileLines& l) { l.Set("ABC", "SIZE", "1"); }); }, true},
        {"sw_index.dat: [ABC] BUILD_DISP: archive ABC/ABC_7.zip does not open as a zip archive",
         [](const std::wstring& site) { RepublishAbc(site, "no zip archive at all"); }, true},
        {"sw_index.dat: [ABC] BUILD_DISP: archive ABC/ABC_7.zip entry \"sub/AUX\"",
         [&scratchZip](const std::wstring& site) {
             RepublishAbc(site, ZipOf({{"abc.exe", "ABC"}, {"sub/AUX", "device"}}, scratchZip));
         },
         true},
        {"sw_index.dat: [ABC] TO_EXECUTE: \"abc.exe\" is in neither",
         [&scratchZip](const std::wstring& site) { RepublishAbc(site, ZipOf({{"other.exe", "X"}}, scratchZip)); },
         true},
        {"sw_index.dat: [ABC] ENTRIES_SIZE: 1 bytes, but ABC/ABC_7.zip.entries has",
         [](const std::wstring& site) { EditIndex(site, [](DataFileLines& l) { l.Set("ABC", "ENTRIES_SIZE", "1"); }); },
         true},
        {"sw_index.dat: [ABC] ENTRIES_SHA256: ABC/ABC_7.zip.entries does not map archive ABC/ABC_7.zip as it is",
         [](const std::wstring& site) {
             std::string entries = ReadBytes(site + L"\\ABC\\ABC_7.zip.entries");
             entries[entries.size() - 2] ^= 1; // another name
             RemapAbc(site, entries);
         },
         true},
        {"sw_index.dat: [REDIRECT] URL: past line 10",
         [](const std::wstring& site) { AppendToIndex(site, "\r\n[REDIRECT]\r\nURL=http://example.test/b/\r\n"); },
         true},
        {"sw_index.dat: [ABC] THUMB_SHA256: differs from img/abc.png",
         [](const std::wstring& site) { WriteBytes(site + L"\\img\\abc.png", PngHeader(32, 32)); }, true},
        {"sw_index.dat: [ABC] THUMB_SHA256: missing: with the key set the launcher does not use img/abc.png",
         [](const std::wstring& site) {
             std::string bytes = ReadBytes(site + L"\\sw_index.dat");
             bytes.erase(bytes.find("THUMB_SHA256="), bytes.find("\r\n", bytes.find("THUMB_SHA256=")) + 2 -
                                                         bytes.find("THUMB_SHA256="));
             WriteBytes(site + L"\\sw_index.dat", bytes);
         },
         true},
        {"sw_index.dat: [ABC] THUMB: img/abc.png is no PNG",
         [](const std::wstring& site) { WriteBytes(site + L"\\img\\abc.png", "GIF89a, a picture of another kind"); },
         true},
        {"sw_index.dat: [ABC] THUMB: img/abc.png is 600 x 48 pixels, over 512 x 512",
         [](const std::wstring& site) { WriteBytes(site + L"\\img\\abc.png", PngHeader(600, 48)); }, true},
        {"sw_index.dat: [ABC] THUMB: img/abc.png has an IHDR the launcher refuses (0 x 48 pixels)",
         [](const std::wstring& site) { WriteBytes(site + L"\\img\\abc.png", PngHeader(0, 48)); }, true},
        // What the launcher refuses by its size is refused whole, in one line.
        {"sw_index.dat: [ABC] THUMB: img/abc.png is 2097194 bytes, over 2097152",
         [](const std::wstring& site) {
             WriteBytes(site + L"\\img\\abc.png", PngHeader(48, 48) + std::string(2u * 1024 * 1024 + 1, '\0'));
         },
         true},
        {"sw_index.dat: 10001 sections, over 10000",
         [](const std::wstring& site) {
             std::string sections;
             for (int i = 0; i < 9998; ++i)
                 sections += "\r\n[S" + std::to_string(i) + "]\r\nA=1";
             AppendToIndex(site, sections + "\r\n");
         },
         true},
        {"sw_index.dat: 844",
         [](const std::wstring& site) {
             const std::string line = "ZZ=" + std::string(1000, 'z') + "\r\n";
             std::string lines;
             for (int i = 0; i < 8400; ++i)
                 lines += line;
             AppendToIndex(site, lines);
         },
         true},
        {"sw_repo.dat.sig: missing",
         [](const std::wstring& site) { DeleteFileW((site + L"\\sw_repo.dat.sig").c_str()); }, false},
        {"sw_index.dat.sig: not a signature of sw_index.dat with this key",
         [&other](const std::wstring& site) {
             WriteBytes(site + L"\\sw_index.dat.sig", SignData(other, ReadBytes(site + L"\\sw_index.dat")));
         },
         false},
        {"sw_index.dat.sig: not a signature of sw_index.dat with this key",
         [](const std::wstring& site) { AppendToIndex(site, "\r\n"); }, false},
        {"sw_index.dat.sig: not a signature of sw_index.dat with this key",
         [](const std::wstring& site) {
             WriteBytes(site + L"\\sw_index.dat.sig", ReadBytes(site + L"\\sw_index.dat.sig") + "\n");
         },
         false},
    };
    int number = 0;
    for (const auto& trap : traps) {
        const std::wstring site = work / (L"trap" + std::to_wstring(++number));
        fs::copy(fs::path(clean), fs::path(site), fs::copy_options::recursive);
        trap.spoil(site);
        if (trap.signAgain)
            SignSite(site, maker);
        report = CheckSite(site, key);
        if (*trap.expected) {
            ASSERT_EQ(1u, report.problems.size()) << "trap " << number << ":\n" << Joined(report.problems);
            EXPECT_EQ(0u, report.problems[0].find(trap.expected)) << report.problems[0];
        } else {
            EXPECT_EQ(0u, report.problems.size()) << Joined(report.problems);
            ASSERT_EQ(1u, report.notes.size()) << "trap " << number;
            EXPECT_NE(std::string::npos, report.notes[0].find("outside the site: not checked")) << report.notes[0];
        }
    }

    // A server.dat that names the key twice is refused as the launcher refuses it.
    WriteBytes(work / L"server.dat", "[SIGNATURE]\r\nKEY=" + key + "\r\nKEY=" + key + "\r\n");
    reporter.lines.clear();
    EXPECT_EQ(kPublishFailed, RunPublish({L"check", clean, L"--key", work / L"server.dat"}, reporter));
    EXPECT_NE(std::string::npos, Joined(reporter.lines).find("two KEY= lines")) << Joined(reporter.lines);
}

namespace {
/// A site of one program, ABC, in a folder of its own, and the commands run on it in process.
class PublishSite : public ::testing::Test {
protected:
    PublishSite() { WriteFileAt(work / L"abc\\abc.exe", "ABC", UtcTime(2024, 3, 1, 8, 0, 0)); }
    int Run(const std::vector<std::wstring>& command)
    {
        reporter.lines.clear();
        return RunPublish(command, reporter);
    }
    bool Said(const std::string& text) const { return Joined(reporter.lines).find(text) != std::string::npos; }

    TempDir work;
    const std::wstring site = work / L"site";
    CollectingReporter reporter;
};
} // namespace

// The maker's road with two levels of keys: a root kept offline signs
// sw_keys.dat with keys, the online key signs and refreshes the catalogue,
// check follows the chain from server.dat's ROOT; what a killed add left is
// removed and named; each file packed is the one checked, and each refusal
// names its true reason.
TEST_F(PublishSite, KeysChainRefreshAndWhatAKilledCommandLeft)
{
    ASSERT_EQ(kPublishDone, Run({L"init", site, L"http://example.test/sw/"})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"add", site, L"ABC", L"1", work / L"abc"})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"keygen", work / L"root.pem", L"--root"})) << Joined(reporter.lines);
    ASSERT_EQ(0u, reporter.lines[0].find("ROOT=")) << Joined(reporter.lines);
    const std::string rootLine = reporter.lines[0];
    ASSERT_EQ(kPublishDone, Run({L"keygen", work / L"online.pem"})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"keys", site, work / L"root.pem", work / L"online.pem"})) << Joined(reporter.lines);
    EXPECT_TRUE(Said("sw_keys.dat: [PATHS] SERIAL=1")) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"sign", site, work / L"online.pem"})) << Joined(reporter.lines);
    WriteBytes(work / L"server.dat", "[SIGNATURE]\r\n" + rootLine + "\r\n");
    EXPECT_EQ(kPublishDone, Run({L"check", site, L"--key", work / L"server.dat"})) << Joined(reporter.lines);
    EXPECT_EQ("", Joined(reporter.lines));
    // Another root, or an online key the keys file does not list, is named.
    ASSERT_EQ(kPublishDone, Run({L"keygen", work / L"other.pem", L"--root"}));
    WriteBytes(work / L"other.dat", "[SIGNATURE]\r\n" + reporter.lines[0] + "\r\n");
    EXPECT_EQ(kPublishFailed, Run({L"check", site, L"--key", work / L"other.dat"}));
    EXPECT_TRUE(Said("sw_keys.dat.sig: not a signature of sw_keys.dat with this ROOT")) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, Run({L"sign", site, work / L"other.pem"}));
    EXPECT_EQ(kPublishFailed, Run({L"check", site, L"--key", work / L"server.dat"}));
    EXPECT_TRUE(Said("sw_index.dat.sig: not a signature of sw_index.dat with an online key")) << Joined(reporter.lines);
    // The online key is replaced: keys raises its SERIAL, and check is clean again.
    ASSERT_EQ(kPublishDone, Run({L"keys", site, work / L"root.pem", work / L"other.pem"})) << Joined(reporter.lines);
    EXPECT_TRUE(Said("sw_keys.dat: [PATHS] SERIAL=2")) << Joined(reporter.lines);
    EXPECT_EQ(kPublishDone, Run({L"check", site, L"--key", work / L"server.dat"})) << Joined(reporter.lines);

    // refresh: a new SERIAL and EXPIRES and nothing else, only over files
    // still signed with the key as they are.
    const std::string before = ReadBytes(site + L"\\sw_index.dat");
    ASSERT_EQ(kPublishDone, Run({L"refresh", site, work / L"other.pem"})) << Joined(reporter.lines);
    std::string expected = before;
    const size_t serialAt = expected.find("SERIAL=") + 7;
    const size_t serialEnd = expected.find("\r\n", serialAt);
    expected.replace(serialAt, serialEnd - serialAt, std::to_string(std::stoll(before.substr(serialAt, serialEnd - serialAt)) + 1));
    const std::string after = ReadBytes(site + L"\\sw_index.dat");
    const size_t expiresAt = after.find("EXPIRES=");
    ASSERT_NE(std::string::npos, expiresAt);
    expected.replace(expiresAt, 28, after.substr(expiresAt, 28));
    EXPECT_EQ(expected, after) << "only SERIAL and EXPIRES changed";
    WriteBytes(site + L"\\sw_index.dat", after + "[EVIL]\r\nSW_TYPE=0\r\n");
    EXPECT_EQ(kPublishFailed, Run({L"refresh", site, work / L"other.pem"}));
    EXPECT_TRUE(Said("is not signed with this key as it is")) << Joined(reporter.lines);
    EXPECT_EQ(after + "[EVIL]\r\nSW_TYPE=0\r\n", ReadBytes(site + L"\\sw_index.dat"));
    WriteBytes(site + L"\\sw_index.dat", after);

    // What a killed add left in the site goes with the next command, named.
    WriteBytes(site + L"\\ABC\\ABC_2.zip.publishing", "half an archive");
    EXPECT_EQ(kPublishDone, Run({L"check", site})) << Joined(reporter.lines);
    EXPECT_TRUE(Said("note: removed ABC/ABC_2.zip.publishing")) << Joined(reporter.lines);
    EXPECT_FALSE(FileExists(site + L"\\ABC\\ABC_2.zip.publishing"));

    // A trailing dot is refused as a name the library refuses, not as a link.
    const std::wstring dotted = L"\\\\?\\" + (work / L"dotted");
    CreateDirectoryW(dotted.c_str(), nullptr);
    WriteBytes(dotted + L"\\abc.exe", "ABC");
    WriteBytes(dotted + L"\\leggimi.", "x");
    FolderContent dottedContent = ListBuildFolder(work / L"dotted");
    ASSERT_EQ(1u, dottedContent.refused.size());
    EXPECT_NE(std::string::npos, dottedContent.refused[0].find("trailing dot")) << dottedContent.refused[0];
    EXPECT_EQ(std::string::npos, dottedContent.refused[0].find("link")) << dottedContent.refused[0];
    DeleteFileW((dotted + L"\\leggimi.").c_str()); // the folder's cleanup cannot name it

    // A file whose name leads elsewhere by the time it is packed (a link put
    // in its place after the listing) is not packed, nor what it leads to.
    WriteBytes(work / L"secret.pem", "PRIVATE");
    FolderContent content = ListBuildFolder(work / L"abc");
    ASSERT_EQ(1u, content.files.size());
    std::vector<PackedFile> elsewhere = content.files;
    elsewhere[0].path = work / L"secret.pem";
    std::string error;
    EXPECT_FALSE(WriteArchive(work / L"elsewhere.zip", elsewhere, error));
    EXPECT_NE(std::string::npos, error.find("\"abc.exe\": became a link")) << error;
}

// A refused command leaves the site as it was, byte for byte, whichever of its
// files could not be written; links in a build folder are refused by name;
// index files a careless edit left are refused or read as the launcher reads them.
TEST_F(PublishSite, RefusedCommandsWriteNothingAndCarelessFilesAreRefused)
{
    const auto run = [this](const std::vector<std::wstring>& command) { return Run(command); };
    const auto said = [this](const std::string& text) { return Said(text); };

    // init: a BASE_URL with a line break, and a repository that cannot be written.
    EXPECT_EQ(kPublishUsage, run({L"init", site, L"http://example.test/\n[REDIRECT]\nURL=http://evil/"}));
    EXPECT_FALSE(FileExists(site + L"\\sw_index.dat"));
    fs::create_directories(fs::path(site + L"\\sw_repo.dat"));
    EXPECT_EQ(kPublishFailed, run({L"init", site, L"http://example.test/sw/"})) << Joined(reporter.lines);
    EXPECT_FALSE(FileExists(site + L"\\sw_index.dat")) << "nothing left behind";
    fs::remove(fs::path(site + L"\\sw_repo.dat"));
    ASSERT_EQ(kPublishDone, run({L"init", site, L"http://example.test/sw/"})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, run({L"add", site, L"ABC", L"1", work / L"abc"})) << Joined(reporter.lines);
    const std::string index = ReadBytes(site + L"\\sw_index.dat");
    const std::string archive = ReadBytes(site + L"\\ABC\\ABC_1.zip");
    EXPECT_NE(std::string::npos, index.find("ROLE=INDEX\r\n")) << index;
    EXPECT_NE(std::string::npos, index.find("SERIAL=2\r\n")) << index;
    EXPECT_NE(std::string::npos, index.find("EXPIRES=")) << index;

    // add whose index cannot be replaced keeps the archive as it was.
    WriteFileAt(work / L"abc\\abc.exe", "ABC, second copy", UtcTime(2024, 3, 2, 8, 0, 0));
    {
        HANDLE held = CreateFileW((site + L"\\sw_index.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(kPublishFailed, run({L"add", site, L"ABC", L"1", work / L"abc"}));
        CloseHandle(held);
    }
    EXPECT_EQ(archive, ReadBytes(site + L"\\ABC\\ABC_1.zip")) << "the signed hash still matches it";
    EXPECT_EQ(index, ReadBytes(site + L"\\sw_index.dat"));

    // sign whose second signature cannot be written writes no file.
    SigningKey maker;
    ASSERT_TRUE(GenerateKey(maker));
    WriteBytes(work / L"maker.pem", PrivateKeyPem(maker));
    ASSERT_EQ(kPublishDone, run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);
    EXPECT_TRUE(said("sw_index.dat: [PATHS] SERIAL=3")) << Joined(reporter.lines);
    std::map<std::wstring, std::string> signedSite;
    for (const wchar_t* file : {L"sw_index.dat", L"sw_index.dat.sig", L"sw_repo.dat", L"sw_repo.dat.sig"})
        signedSite[file] = ReadBytes(site + L"\\" + file);
    EXPECT_TRUE(CheckSite(site, PublicKeyText(maker)).problems.empty()) << Joined(CheckSite(site, PublicKeyText(maker)).problems);
    {
        HANDLE held = CreateFileW((site + L"\\sw_repo.dat.sig").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(kPublishFailed, run({L"sign", site, work / L"maker.pem"}));
        CloseHandle(held);
    }
    for (const auto& file : signedSite)
        EXPECT_EQ(file.second, ReadBytes(site + L"\\" + file.first)) << Utf8FromWide(file.first);
    // A command ended half-way through putting its files in place (killed,
    // the power cut) is undone before the next one touches the site.
    const auto endHalfWay = [this](int moves) {
        StagedFiles staged(site);
        std::string error;
        staged.m_endAfterMoves = moves;
        ASSERT_TRUE(staged.Stage(site + L"\\sw_index.dat", "new index", error));
        ASSERT_TRUE(staged.Stage(site + L"\\sw_index.dat.sig", "new signature", error));
        ASSERT_TRUE(staged.Stage(site + L"\\added.dat", "a file that was not there", error));
        EXPECT_FALSE(staged.Commit(error));
    };
    for (int moves : {1, 3}) {
        endHalfWay(moves);
        EXPECT_EQ("new index", ReadBytes(site + L"\\sw_index.dat"));
        EXPECT_TRUE(StagedFiles::Recover(site));
        for (const auto& file : signedSite)
            EXPECT_EQ(file.second, ReadBytes(site + L"\\" + file.first)) << moves << Utf8FromWide(file.first);
        for (const wchar_t* left : {L"added.dat", L"publishing.journal", L"sw_index.dat.previous",
                                    L"sw_index.dat.sig.publishing", L"added.dat.publishing"})
            EXPECT_FALSE(FileExists(site + L"\\" + left)) << moves << Utf8FromWide(left);
    }
    endHalfWay(2);
    ASSERT_EQ(kPublishDone, run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);
    EXPECT_FALSE(FileExists(site + L"\\added.dat")) << "sign puts the ended command's files back first";
    EXPECT_FALSE(FileExists(site + L"\\publishing.journal"));
    EXPECT_TRUE(CheckSite(site, PublicKeyText(maker)).problems.empty());
    // Signing again raises SERIAL: no two signed indexes share one.
    ASSERT_EQ(kPublishDone, run({L"sign", site, work / L"maker.pem", L"--expires", L"2"})) << Joined(reporter.lines);
    EXPECT_TRUE(said("sw_index.dat: [PATHS] SERIAL=5")) << Joined(reporter.lines);
    EXPECT_TRUE(said("sw_repo.dat: [PATHS] SERIAL=4")) << Joined(reporter.lines);

    // An archive zipped again by hand, its SHA256 and SIZE set, its entries
    // file and ENTRIES_ keys left as they were: sign refuses, writing nothing.
    {
        const std::string archiveBefore = ReadBytes(site + L"\\ABC\\ABC_1.zip");
        const std::string indexBefore = ReadBytes(site + L"\\sw_index.dat");
        ASSERT_TRUE(WriteZip(work / L"rezipped.zip", {{"abc.exe", "ABC, zipped again by hand"}}));
        const std::string rezipped = ReadBytes(work / L"rezipped.zip");
        WriteBytes(site + L"\\ABC\\ABC_1.zip", rezipped);
        EditIndex(site, [&rezipped](DataFileLines& lines) {
            lines.Set("ABC", "SHA256", HexOf(Sha256Of(rezipped)));
            lines.Set("ABC", "SIZE", std::to_string(rezipped.size()));
        });
        const std::string drifted = ReadBytes(site + L"\\sw_index.dat");
        std::map<std::wstring, std::string> before;
        for (const wchar_t* file : {L"sw_index.dat.sig", L"sw_repo.dat", L"sw_repo.dat.sig"})
            before[file] = ReadBytes(site + L"\\" + file);
        EXPECT_EQ(kPublishFailed, run({L"sign", site, work / L"maker.pem"}));
        EXPECT_TRUE(said("ABC/ABC_1.zip.entries does not map archive ABC/ABC_1.zip as it is: an update fetches"))
            << Joined(reporter.lines);
        EXPECT_EQ(drifted, ReadBytes(site + L"\\sw_index.dat"));
        for (const auto& file : before)
            EXPECT_EQ(file.second, ReadBytes(site + L"\\" + file.first)) << Utf8FromWide(file.first);
        WriteBytes(site + L"\\ABC\\ABC_1.zip", archiveBefore);
        WriteBytes(site + L"\\sw_index.dat", indexBefore);
    }

    // Careless index files.
    const std::string good = ReadBytes(site + L"\\sw_index.dat");
    std::string sections;
    for (int i = 0; i < 9999; ++i)
        sections += "[S" + std::to_string(i) + "]\r\nA=1\r\n";
    const struct {
        const char* what;
        std::string index;
        std::wstring command;
        const char* named;
    } careless[] = {
        {"byte-order mark", "\xEF\xBB\xBF" + good, L"add", "byte-order mark"},
        {"byte-order mark", "\xEF\xBB\xBF" + good, L"sign", "byte-order mark"},
        {"no SERIAL", "[PATHS]\r\nBASE=http://example.test/sw/\r\n", L"add", "SERIAL is missing"},
        {"no SERIAL", "[PATHS]\r\nBASE=http://example.test/sw/\r\n", L"sign", "SERIAL is missing"},
        {"SERIAL at the launcher's highest", "[PATHS]\r\nSERIAL=999999999999999999\r\n", L"add", "highest"},
        {"10,000 sections", good + sections, L"add", "10000 sections already"},
        {"REDIRECT the launcher does not follow",
         "[PATHS]\r\nROLE=INDEX\r\n" + std::string(10, '\n') + "[REDIRECT]\r\nURL=http://example.test/b/\r\n", L"sign",
         "SERIAL is missing"},
        {"another file's role", "[PATHS]\r\nROLE=REPOSITORY\r\nSERIAL=4\r\n", L"sign", "ROLE=REPOSITORY"},
    };
    for (const auto& trap : careless) {
        WriteBytes(site + L"\\sw_index.dat", trap.index);
        const std::vector<std::wstring> command =
            trap.command == L"add" ? std::vector<std::wstring>{L"add", site, L"NEW", L"1", work / L"abc"}
                                   : std::vector<std::wstring>{L"sign", site, work / L"maker.pem"};
        EXPECT_EQ(kPublishFailed, run(command)) << trap.what;
        EXPECT_TRUE(said(trap.named)) << trap.what << ": " << Joined(reporter.lines);
        EXPECT_EQ(trap.index, ReadBytes(site + L"\\sw_index.dat")) << trap.what;
    }
    // Links in a build folder: tests/publish_openssl.sh, which can make Unix links that Wine shows as reparse points.
}

// Traps the launcher hits on every install: check names each one, and add
// refuses what it would write into the site.
TEST_F(PublishSite, CheckAndAddCatchWhatBreaksEveryInstall)
{
    const auto run = [this](const std::vector<std::wstring>& command) { return Run(command); };
    ASSERT_EQ(kPublishDone, run({L"init", site, L"http://example.test/sw/"}));
    ASSERT_EQ(kPublishDone, run({L"add", site, L"ABC", L"7", work / L"abc"})) << Joined(reporter.lines);
    const std::string clean = ReadBytes(site + L"\\sw_index.dat");
    EXPECT_EQ("", Joined(CheckSite(site, "").problems));

    // add refuses each, naming it.
    EXPECT_EQ(kPublishFailed, run({L"add", site, L"ABC", L"0", work / L"abc"}));
    EXPECT_NE(std::string::npos, Joined(reporter.lines).find("not installed")) << Joined(reporter.lines);
    EXPECT_EQ(kPublishFailed, run({L"add", site, L"CAF\u00c9", L"1", work / L"abc"}));
    EXPECT_NE(std::string::npos, Joined(reporter.lines).find("ASCII letters")) << Joined(reporter.lines);
    EXPECT_EQ(kPublishFailed, run({L"add", site, L"A B", L"1", work / L"abc"}));
    WriteBytes(site + L"\\sw_index.dat", "[PATHS]\r\nBASE=http://example.test/sw\r\nSERIAL=3\r\n");
    EXPECT_EQ(kPublishFailed, run({L"add", site, L"XYZ", L"1", work / L"abc"}));
    EXPECT_NE(std::string::npos, Joined(reporter.lines).find("does not end with \"/\"")) << Joined(reporter.lines);
    EXPECT_FALSE(FileExists(site + L"\\XYZ\\XYZ_1.zip"));
    WriteFileAt(work / L"later\\abc.exe", "ABC", UtcTime(2099, 3, 1, 8, 0, 0));
    WriteBytes(site + L"\\sw_index.dat", clean);
    EXPECT_EQ(kPublishDone, run({L"add", site, L"LATER", L"1", work / L"later"}));
    EXPECT_NE(std::string::npos, Joined(reporter.lines).find("abc.exe is dated in the future")) << Joined(reporter.lines);
    EXPECT_EQ("\"x\" and \"X/y\"", CaseClash({"x", "X/y"}));
    EXPECT_EQ("\"a.txt\" and \"A.TXT\"", CaseClash({"a.txt", "A.TXT"}));
    EXPECT_EQ("", CaseClash({"Dir/a", "dir/b", "x"})) << "folders may differ in case";

    // check names each in a hand-made site.
    const struct {
        const char* expected;
        std::function<void(const std::wstring&)> spoil;
    } traps[] = {
        {"sw_index.dat: [PATHS] BASE: \"http://example.test/sw\" does not end with \"/\"",
         [](const std::wstring& at) {
             EditIndex(at, [](DataFileLines& l) { l.Set("PATHS", "BASE", "http://example.test/sw"); });
         }},
        {"sw_index.dat: [ABC] BUILD_DISP: archive ABC/ABC_7.zip entries \"x\" and \"X/y\" are one path",
         [this](const std::wstring& at) {
             RepublishAbc(at, ZipOf({{"abc.exe", "ABC"}, {"x", "file"}, {"X/y", "in a folder"}}, work / L"z.zip"));
         }},
        {"sw_index.dat: [ABC] BUILD_DISP: archive ABC/ABC_7.zip entry \"abc.exe\" is dated in the future",
         [this](const std::wstring& at) {
             RepublishAbc(at, ZipOf({{"abc.exe", "ABC", MakeDos(2099, 1, 1, 0, 0, 0)}}, work / L"z.zip"));
         }},
        {"sw_index.dat: [ABC] BUILD_DISP: 0 is what the launcher records",
         [](const std::wstring& at) {
             EditIndex(at, [](DataFileLines& l) {
                 l.Set("ABC", "BUILD_DISP", "0");
                 l.Set("ABC", "DOWNLOAD_FILE", "ABC/ABC_7.zip");
             });
         }},
        {"sw_index.dat: [CAF\xC3\x89] the name holds more than ASCII letters",
         [](const std::wstring& at) {
             EditIndex(at, [](DataFileLines& l) {
                 l.Set("CAF\xC3\x89", "SW_TYPE", "1");
                 l.Set("CAF\xC3\x89", "DOWNLOAD_FILE", "ABC/ABC_7.zip");
             });
         }},
    };
    int number = 0;
    for (const auto& trap : traps) {
        const std::wstring copy = work / (L"trap" + std::to_wstring(++number));
        fs::copy(fs::path(site), fs::path(copy), fs::copy_options::recursive);
        WriteBytes(copy + L"\\sw_index.dat", clean);
        trap.spoil(copy);
        const std::string problems = Joined(CheckSite(copy, "").problems);
        EXPECT_NE(std::string::npos, problems.find(trap.expected)) << "trap " << number << ":\n" << problems;
    }
}

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
struct LauncherSite {
    TempDir work;
    const std::wstring site = work / L"site";
    LoopbackServer server{FolderFiles(site + L"\\")};
    CollectingReporter reporter;
    SigningKey maker;
    bool ready = GenerateKey(maker) && (WriteBytes(work / L"maker.pem", PrivateKeyPem(maker)), true);

    int Run(const std::vector<std::wstring>& command)
    {
        reporter.lines.clear();
        return RunPublish(command, reporter);
    }
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
TEST(Publish, LauncherUpdatesItselfAndABuildThatDoesNotStartComesBack)
{
    LauncherSite launcherSite;
    ASSERT_TRUE(launcherSite.ready);
    TempDir& work = launcherSite.work;
    const std::wstring& site = launcherSite.site;
    LoopbackServer& server = launcherSite.server;
    CollectingReporter& reporter = launcherSite.reporter;
    const SigningKey& maker = launcherSite.maker;
    const auto run = [&launcherSite](const std::vector<std::wstring>& command) { return launcherSite.Run(command); };
    ASSERT_EQ(kPublishDone, run({L"init", site, WideFromUtf8(server.Url("/"))})) << Joined(reporter.lines);
    const std::wstring next = LauncherBuildFolder(work / L"next", BinaryFolder() + L"next\\MorvIndex.exe");
    ASSERT_EQ(kPublishDone, run({L"launcher", site, next})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);

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
    ASSERT_EQ(kPublishDone, run({L"launcher", site, broken})) << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);
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
TEST(Publish, SetupInstallsForTheUserFromAnyFolderAndItsEntryRemovesIt)
{
    LauncherSite launcherSite;
    ASSERT_TRUE(launcherSite.ready);
    TempDir& work = launcherSite.work;
    const std::wstring& site = launcherSite.site;
    LoopbackServer& server = launcherSite.server;
    CollectingReporter& reporter = launcherSite.reporter;
    const SigningKey& maker = launcherSite.maker;
    const auto run = [&launcherSite](const std::vector<std::wstring>& command) { return launcherSite.Run(command); };
    const std::string serverDat = "[SIGNATURE]\r\nKEY=" + PublicKeyText(maker) + "\r\n[SERVER]\r\nURL=" +
                                  server.Url("/sw_index.dat") + "\r\n[REPOSITORY]\r\nURL=" +
                                  server.Url("/sw_repo.dat") + "\r\n";
    WriteBytes(work / L"server del produttore.dat", serverDat);
    ASSERT_EQ(kPublishDone, run({L"init", site, WideFromUtf8(server.Url("/"))})) << Joined(reporter.lines);
    const std::wstring current = LauncherBuildFolder(work / L"build", BinaryFolder() + L"MorvIndex.exe");
    ASSERT_EQ(kPublishDone, run({L"launcher", site, current, L"--setup", work / L"server del produttore.dat"}))
        << Joined(reporter.lines);
    ASSERT_EQ(kPublishDone, run({L"sign", site, work / L"maker.pem"})) << Joined(reporter.lines);

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
