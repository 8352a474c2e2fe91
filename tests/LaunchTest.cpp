// Launching an installed program, a start request becoming its launch file,
// and uninstall, against real files and the real trelko_util_r.dll.
#include "install/Commands.h"
#include "install/Invocation.h"
#include "install/Launch.h"
#include "launcher/HandOver.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "tests/InstallationFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;
namespace fs = std::filesystem;

TEST_F(Installation, LaunchAsksBeforeAnOutdatedBuildAndNamesMissingPrograms)
{
    SoftwareRecord& listed = Add("ABC", 0, 4, "", "abc.exe");
    listed.installedBuild = 0;
    AddInstalled("ABC", 4, 3);
    bool update = true;

    host.answerYes = false;
    EXPECT_TRUE(LaunchProgram("", "ABC", state, host, update));
    EXPECT_FALSE(update);
    EXPECT_EQ(L"<105:ABC>", host.questions.back());
    EXPECT_EQ(InstalledFolder("ABC") + L"\\abc.exe \"\" in " + InstalledFolder("ABC"), host.opened.back())
        << "the second, installed entry starts, by its full path";

    // With the key, a list past its EXPIRES offers no update: the installed build starts.
    state.m_signaturesRequired = true;
    state.m_catalogueExpires = "2020-01-01T00:00:00Z";
    host.answerYes = true;
    const size_t asked = host.questions.size();
    EXPECT_TRUE(LaunchProgram("", "ABC", state, host, update));
    EXPECT_FALSE(update);
    EXPECT_EQ(asked, host.questions.size());
    EXPECT_EQ(2u, host.opened.size());
    state.m_catalogueExpires = "2999-01-01T00:00:00Z";

    EXPECT_FALSE(LaunchProgram("x", "ABC", state, host, update));
    EXPECT_TRUE(update);
    EXPECT_EQ(2u, host.opened.size());

    EXPECT_FALSE(LaunchProgram("", "NOPE", state, host, update));
    EXPECT_EQ(L"<107:NOPE>", host.notices.back());

    state.m_catalogue[1].programToExecute.clear();
    size_t notices = host.notices.size();
    EXPECT_FALSE(LaunchProgram("", "ABC", state, host, update));
    EXPECT_EQ(notices, host.notices.size()) << "nothing to execute: silent";
}

TEST_F(Installation, LaunchStartsARealProgramWithTheQuotedArgument)
{
    fs::copy_file(BinaryFolder() + L"binding_probe.exe", scratch / L"probe.exe");
    SoftwareRecord& record = Add("PROBE", 0, 1, "", "probe.exe");
    record.installedBuild = 1;
    record.installedFolder = scratch.Narrow();
    // Only the shell is real here; no question is expected.
    class RealShell : public LaunchHost {
    public:
        bool AskYesNo(const std::wstring&, const std::wstring&) override { return false; }
        void Notify(const std::wstring&, const std::wstring&) override { ADD_FAILURE() << "unexpected notice"; }
    } realShell;
    bool update = false;
    std::string output = scratch.Narrow() + "started with.txt";
    ASSERT_TRUE(LaunchProgram(output, "PROBE", state, realShell, update));
    DWORD start = GetTickCount();
    while (!FileExists(WideFromUtf8(output)) && GetTickCount() - start < 20000)
        Sleep(100);
    EXPECT_TRUE(FileExists(WideFromUtf8(output))) << "the program got the path as one argument";
}

// TO_EXECUTE comes from the index: only a file inside the program's folder,
// reached without a link, is started, and by its full path; anything else
// starts nothing and says which program could not start and why.
TEST_F(Installation, OnlyAFileInsideTheProgramsFolderIsStarted)
{
    AddInstalled("ABC", 1, 1, "bin\\tool.exe");
    const std::wstring folder = InstalledFolder("ABC");
    WriteBytes(scratch / L"evil.exe", "evil");
    fs::create_directories(scratch / L"outside");
    WriteBytes(scratch / L"outside\\evil.exe", "evil");
    fs::create_directories(folder + L"\\sub");
    ASSERT_TRUE(MakeFolderLink(folder + L"\\link", scratch / L"outside"));
    const std::string absolute = Utf8FromWide(scratch / L"evil.exe");
    const struct {
        std::string toExecute;
        StartRefusal expected;
    } cases[] = {
        {"bin\\tool.exe", StartRefusal::None},
        {"bin/tool.exe", StartRefusal::None},
        {absolute, StartRefusal::NotPlainRelative},
        {"\\evil.exe", StartRefusal::NotPlainRelative},
        {"C:evil.exe", StartRefusal::NotPlainRelative},
        {"..\\..\\evil.exe", StartRefusal::NotPlainRelative},
        {"bin\\..\\..\\..\\evil.exe", StartRefusal::NotPlainRelative},
        {"evilproto:payload", StartRefusal::NotPlainRelative},
        {"bin\\", StartRefusal::NotPlainRelative},
        {"bin\\\\tool.exe", StartRefusal::NotPlainRelative},
        {"bin\\NUL", StartRefusal::NotPlainRelative},
        {"tool.exe ", StartRefusal::NotPlainRelative},
        {"missing.exe", StartRefusal::Missing},
        {"sub", StartRefusal::Missing},
        {"bin\\tool.exe\\x.exe", StartRefusal::Missing},
        {"link\\evil.exe", StartRefusal::ThroughLink},
    };
    for (const auto& check : cases) {
        std::wstring full;
        EXPECT_EQ(check.expected, ResolveProgramToStart(check.toExecute, folder, full)) << check.toExecute;
        if (check.expected == StartRefusal::None) {
            EXPECT_EQ(folder + L"\\bin\\tool.exe", full) << check.toExecute;
        }
    }

    bool update = false;
    EXPECT_TRUE(LaunchProgram("", "ABC", state, host, update));
    ASSERT_EQ(1u, host.opened.size());
    EXPECT_EQ(folder + L"\\bin\\tool.exe \"\" in " + folder, host.opened[0]);
    const std::pair<std::string, int> refused[] = {{absolute, IDS_START_NOT_RELATIVE},
                                                   {"..\\..\\evil.exe", IDS_START_NOT_RELATIVE},
                                                   {"evilproto:payload", IDS_START_NOT_RELATIVE},
                                                   {"missing.exe", IDS_START_MISSING},
                                                   {"link\\evil.exe", IDS_START_THROUGH_LINK}};
    for (const auto& entry : refused) {
        state.m_catalogue[0].programToExecute = entry.first;
        host.notices.clear();
        EXPECT_FALSE(LaunchProgram("", "ABC", state, host, update)) << entry.first;
        ASSERT_EQ(1u, host.notices.size()) << entry.first;
        EXPECT_EQ(L"<150:ABC/<" + std::to_wstring(entry.second) + L":%s>>", host.notices[0]) << entry.first;
    }
    EXPECT_EQ(1u, host.opened.size()) << "nothing else was started";
}

TEST_F(Installation, InvocationBecomesALaunchFileAndBothRequestFilesGo)
{
    AddInstalled("ABC", 2, 2);
    WriteBytes(data / L"invoke.morvindex", "SW_CODE=abc\r\nUSER=x\r\n");
    ProcessInvocation(state, host);
    EXPECT_EQ("SW_CODE=abc\r\nUSER=x\r\n", ReadBytes(data / L"ABCinvoke.dat"));
    ASSERT_EQ(1u, host.opened.size());
    EXPECT_EQ(InstalledFolder("ABC") + L"\\abc.exe \"" + (data / L"ABCinvoke.dat") + L"\" in " + InstalledFolder("ABC"),
              host.opened[0]);
    EXPECT_FALSE(FileExists(data / L"invoke.morvindex"));
    EXPECT_FALSE(FileExists(data / L"gogo.morvindex"));
    EXPECT_EQ(1, host.invalidations);

    // A request that comes during an installation is taken up once it ends,
    // as if it had come then: the program updated meanwhile just starts.
    AddInstalled("UPD", 3, 2);
    WriteBytes(data / L"invoke.morvindex", "SW_CODE=UPD\r\n");
    const int waitsBefore = host.installationWaits;
    host.onInstallationWait = [&] {
        EXPECT_TRUE(FileExists(data / L"invoke.morvindex")) << "not taken during the installation";
        state.m_catalogue.back().installedBuild = 3;
    };
    ProcessInvocation(state, host);
    host.onInstallationWait = nullptr;
    EXPECT_EQ(waitsBefore + 1, host.installationWaits);
    EXPECT_TRUE(host.questions.empty()) << "no second update offered";
    EXPECT_EQ("", host.requestedInstall);
    ASSERT_EQ(2u, host.opened.size());
    host.opened.pop_back();
    host.invalidations = 1;

    // Without SW_CODE the request is consumed silently.
    WriteBytes(data / L"invoke.morvindex", "USER=x\r\n");
    ProcessInvocation(state, host);
    EXPECT_FALSE(FileExists(data / L"invoke.morvindex"));
    EXPECT_FALSE(FileExists(data / L"gogo.morvindex"));
    EXPECT_EQ(1u, host.opened.size());

    // No request: nothing at all.
    ProcessInvocation(state, host);
    EXPECT_EQ(2, host.invalidations);

    // A program that will not start gets no launch file: one not installed,
    // or one whose TO_EXECUTE is refused.
    Add("XYZ", 0, 1, "", "xyz.exe");
    AddInstalled("OUT", 1, 1, "abc.exe").programToExecute = "..\\ABC\\abc.exe";
    for (const char* code : {"XYZ", "OUT", "NOPE"}) {
        WriteBytes(data / L"invoke.morvindex", std::string("SW_CODE=") + code + "\r\n");
        ProcessInvocation(state, host);
        EXPECT_FALSE(FileExists(data / (WideFromUtf8(code) + L"invoke.dat"))) << code;
        EXPECT_FALSE(FileExists(data / L"invoke.morvindex")) << code;
    }
    EXPECT_EQ(1u, host.opened.size());
    EXPECT_EQ(3u, host.notices.size());
}

// A request that cannot be deleted (held open, on a read-only share) is taken
// up once; a stale read-only working copy never stands in for a later one.
TEST_F(Installation, RequestIsTakenUpOnceWhateverDeletingItDoes)
{
    AddInstalled("ABC", 2, 2);
    const std::wstring request = data / L"invoke.morvindex";
    WriteBytes(data / L"gogo.morvindex", "SW_CODE=STALE\r\n");
    SetFileAttributesW((data / L"gogo.morvindex").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteBytes(request, "SW_CODE=abc\r\nN=1\r\n");
    HANDLE held = CreateFileW(request.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    for (int i = 0; i < 3; ++i)
        ProcessInvocation(state, host);
    EXPECT_FALSE(RequestWaiting(state));
    CloseHandle(held);
    ASSERT_EQ(1u, host.opened.size()) << "started once";
    EXPECT_EQ("SW_CODE=abc\r\nN=1\r\n", ReadBytes(data / L"ABCinvoke.dat"));
    EXPECT_EQ(0u, GetFileAttributesW((data / L"ABCinvoke.dat").c_str()) & FILE_ATTRIBUTE_READONLY);

    // A later request, handed over as a read-only document, still goes through.
    WriteBytes(scratch / L"mail attachment.morvindex", "SW_CODE=abc\r\nN=2\r\n");
    SetFileAttributesW((scratch / L"mail attachment.morvindex").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(request.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(WriteInvocationFile(scratch / L"mail attachment.morvindex", request));
    EXPECT_TRUE(RequestWaiting(state));
    ProcessInvocation(state, host);
    ProcessInvocation(state, host);
    ASSERT_EQ(2u, host.opened.size());
    EXPECT_EQ("SW_CODE=abc\r\nN=2\r\n", ReadBytes(data / L"ABCinvoke.dat"));
    EXPECT_FALSE(FileExists(request));
    EXPECT_FALSE(FileExists(data / L"gogo.morvindex"));
}

TEST_F(Installation, InvocationOfAnOutdatedProgramAsksTheWindowToInstall)
{
    AddInstalled("ABC", 3, 2);
    host.answerYes = true;
    WriteBytes(data / L"invoke.morvindex", "SW_CODE=Abc\r\n");
    ProcessInvocation(state, host);
    EXPECT_EQ("ABC", host.requestedInstall);
    EXPECT_TRUE(host.opened.empty());
    EXPECT_TRUE(FileExists(data / L"ABCinvoke.dat")) << "kept for the start after the installation";
}

TEST_F(Installation, UninstallEmptiesTheFolderTreeAndRemovesInvokeFiles)
{
    SoftwareRecord& record = Add("ABC", 0, 2);
    fs::create_directories(data / L"apps\\ABC\\sub\\deeper");
    WriteBytes(data / L"apps\\ABC\\abc.exe", "x");
    WriteBytes(data / L"apps\\ABC\\sub\\deeper\\d.dll", "x");
    SetFileAttributesW((data / L"apps\\ABC\\abc.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteBytes(data / L"ABCinvoke.dat", "x");
    fs::create_directories(data / L"tegora");
    WriteBytes(data / L"tegora\\invoke.tgo", "x");
    WriteBytes(data / L"keep.txt", "x");
    // The user moved the program's data to another disk and left a link.
    fs::create_directories(scratch / L"other disk\\data\\deep");
    WriteBytes(scratch / L"other disk\\data\\deep\\archivio.db", "user data");
    ASSERT_TRUE(MakeFolderLink(data / L"apps\\ABC\\sub\\data", scratch / L"other disk\\data"));
    record.installedBuild = 2;
    record.installedFolder = data.Narrow() + "apps\\ABC";
    record.favourite = "Y";
    state.m_settings.SetValue("PREF", "Y", "ABC");

    int saves = 0;
    EXPECT_TRUE(Uninstall(record, state, [&saves] { return ++saves > 0; }));
    EXPECT_FALSE(FileExists(data / L"apps\\ABC\\abc.exe"));
    EXPECT_FALSE(FileExists(data / L"apps\\ABC\\sub\\deeper\\d.dll"));
    EXPECT_TRUE(FileExists(data / L"apps\\ABC\\sub\\deeper")) << "folders stay";
    EXPECT_EQ("user data", ReadBytes(scratch / L"other disk\\data\\deep\\archivio.db")) << "a link is never entered";
    EXPECT_FALSE(FileExists(data / L"ABCinvoke.dat"));
    EXPECT_FALSE(FileExists(data / L"tegora\\invoke.tgo"));
    EXPECT_TRUE(FileExists(data / L"keep.txt"));
    EXPECT_EQ("0", state.m_settings.GetValue("ABC", "VERSION"));
    EXPECT_EQ("Y", state.m_settings.GetValue("ABC", "PREF"));
    EXPECT_EQ(1, saves);

    EXPECT_FALSE(Uninstall(record, state, [&saves] { return ++saves > 0; })) << "not installed: nothing to do";
    EXPECT_EQ(1, saves);
}

// Names from a web page or the index never become paths: the request is
// consumed, shows the not-installed notice and writes nothing; a package
// name that is no file name stops the installation like an unknown one.
TEST_F(Installation, HostileNamesInARequestOrInDepsWriteNothingOutside)
{
    SoftwareRecord& record = Add("ABC", 0, 2, "", "abc.exe");
    record.installedBuild = 2;
    record.installedFolder = "C:\\apps\\ABC";
    const std::string outside = UpperAscii(Utf8FromWide(data.Path())) + "..\\..\\ESCAPEDinvoke.dat";
    for (const char* code : {"../../escaped", "..\\..\\escaped", "AUX", "nul.txt", "abc.", "a:b", ""}) {
        WriteBytes(data / L"invoke.morvindex", std::string("SW_CODE=") + code + "\r\nUSER=x\r\n");
        host.notices.clear();
        ProcessInvocation(state, host);
        EXPECT_FALSE(FileExists(data / L"invoke.morvindex")) << code;
        EXPECT_FALSE(FileExists(data / L"gogo.morvindex")) << code;
        ASSERT_EQ(1u, host.notices.size()) << code;
        EXPECT_EQ(L"<107:" + WideFromUtf8(UpperAscii(code)) + L">", host.notices[0]);
    }
    EXPECT_TRUE(host.opened.empty());
    EXPECT_FALSE(FileExists(WideFromUtf8(outside)));
    EXPECT_EQ(fs::directory_iterator(data.Path()), fs::directory_iterator()) << "the requests leave nothing behind";

    Add("../EVIL", 100, 1);
    Add("TOOL", 0, 1, "../EVIL");
    files["/TOOL.zip"] = ZipBytes(scratch, {{"tool.exe", "t"}});
    InstallOrUpdate(state, "TOOL", host);
    ASSERT_EQ(1u, host.errors.size());
    EXPECT_NE(std::wstring::npos, host.errors[0].find(L"../EVIL"));
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(FileExists(data / L"EVIL.zip"));
}
