// morvindex-publish over a site of one program: the chain of keys, refresh
// and what a killed command left; refusals that write nothing; and the traps
// of every install that check names and add refuses.
#include "net/Crypto.h"
#include "publish/Commands.h"
#include "publish/DataFileLines.h"
#include "publish/Packer.h"
#include "publish/Signing.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "publish/StagedFiles.h"
#include "store/Text.h"
#include "tests/PublishSupport.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace testing_support;
namespace fs = std::filesystem;

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
    EXPECT_EQ("\"\xC3\x89.txt\" and \"\xC3\xA9.txt\"", CaseClash({"\xC3\x89.txt", "\xC3\xA9.txt"}))
        << "the file system folds more than ASCII";
    // An entry is dated as extraction dates it, by the daylight-saving rule of
    // its own date (the tests run in Rome's zone), whatever the season today.
    const auto dos = [](DosStamp stamp) { return (static_cast<unsigned long>(stamp.date) << 16) | stamp.time; };
    EXPECT_FALSE(EntryDatedAfter(dos(MakeDos(2026, 7, 1, 12, 30, 0)), UtcTime(2026, 7, 1, 11, 0, 0)))
        << "12:30 of a summer day in Rome is 10:30 UTC";
    EXPECT_TRUE(EntryDatedAfter(dos(MakeDos(2026, 1, 15, 12, 30, 0)), UtcTime(2026, 1, 15, 11, 0, 0)))
        << "12:30 of a winter day in Rome is 11:30 UTC";

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
