// morvindex-publish: a site built with it is what the launcher lists and
// installs, and its check finds each trap of a hand-made site.
#include "catalogue/CatalogueFiles.h"
#include "net/Crypto.h"
#include "publish/Commands.h"
#include "publish/DataFileLines.h"
#include "publish/Signing.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/PublishSupport.h"
#include "tests/TestSupport.h"

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

bool SameTime(FILETIME a, FILETIME b) { return CompareFileTime(&a, &b) == 0; }
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
    // The window saves the serial at a paint of its own, which may come after the rows.
    EXPECT_TRUE(WaitUntil(10000, [&] {
        return ReadRegString(HKEY_CURRENT_USER, settings, serialName.c_str()).substr(0, 2) == L"5 ";
    })) << "init, three adds and the signature: "
        << Utf8FromWide(ReadRegString(HKEY_CURRENT_USER, settings, serialName.c_str()));

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

void AppendToIndex(const std::wstring& site, const std::string& text)
{
    WriteBytes(site + L"\\sw_index.dat", ReadBytes(site + L"\\sw_index.dat") + text);
}
} // namespace

// An edit changes one line and keeps every other byte; the lines read as the
// launcher reads them: mixed line ends, a NUL, "[]", a later key winning, and
// nothing read after an overlong line.
TEST(Publish, EditedDataFileKeepsEveryOtherByteAndReadsAsTheLauncher)
{
    const std::string head = "; note\r\n[paths]\r\nBASE = http://x/\r\n\r\n[ABC]\nTITOLO=Uno\r\ntitolo=Due\r\n"
                             "  DESCR=d" + std::string(1, '\0') + "x\r\n[]\r\n";
    const std::string tail = "[DEF]\r\nLONG=" + std::string(1100, 'l') + "\r\n[GHI]\r\nX=1";
    DataFileLines lines(head + tail);
    EXPECT_EQ(head + tail, lines.Text());
    DataFileLines::Origin overlong;
    ASSERT_TRUE(lines.FirstOverlongLine(overlong));
    EXPECT_EQ(11, overlong.number);
    EXPECT_EQ("DEF", overlong.section);
    EXPECT_EQ("LONG", overlong.key);
    EXPECT_EQ(1105u, overlong.bytes);

    // The later TITOLO is the one read; "[]" is an entry of [ABC], after which a new key goes.
    lines.Set("abc", "Titolo", "Tre");
    lines.Set("ABC", "CAT", "Z");
    // [GHI] stands after the overlong line: unread, so it is added anew at the end.
    lines.Set("GHI", "X", "2");
    const std::string edited = "; note\r\n[paths]\r\nBASE = http://x/\r\n\r\n[ABC]\nTITOLO=Uno\r\nTITOLO=Tre\r\n"
                               "  DESCR=d" + std::string(1, '\0') + "x\r\n[]\r\nCAT=Z\r\n" + tail +
                               "\r\n\r\n[GHI]\r\nX=2\r\n";
    EXPECT_EQ(edited, lines.Text());

    // A new line takes the file's first line end.
    DataFileLines unix("A=1\n");
    unix.Set("B", "K", "v");
    EXPECT_EQ("A=1\n\n[B]\nK=v\n", unix.Text());
}

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

    // server.dat as a person may save it, UTF-16 with the key past its tenth
    // line, gives the key as the launcher reads it.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string(12, '\n') + "[SIGNATURE]\r\nKEY=" + key + "\r\n")
        utf16 += std::string(1, c) + '\0';
    WriteBytes(work / L"server.dat", utf16);
    reporter.lines.clear();
    EXPECT_EQ(kPublishDone, RunPublish({L"check", clean, L"--key", work / L"server.dat"}, reporter))
        << Joined(reporter.lines);
    // A server.dat that names the key twice is refused as the launcher refuses it.
    WriteBytes(work / L"server.dat", "[SIGNATURE]\r\nKEY=" + key + "\r\nKEY=" + key + "\r\n");
    reporter.lines.clear();
    EXPECT_EQ(kPublishFailed, RunPublish({L"check", clean, L"--key", work / L"server.dat"}, reporter));
    EXPECT_NE(std::string::npos, Joined(reporter.lines).find("two KEY= lines")) << Joined(reporter.lines);
}
