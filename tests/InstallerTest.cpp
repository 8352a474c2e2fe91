// Install/update, launch, protocol invocation and uninstall against a loopback
// server, the real trelko_util_r.dll and real files.
#include "catalogue/ServerChoice.h"
#include "install/Commands.h"
#include "install/Installer.h"
#include "install/Invocation.h"
#include "launcher/HandOver.h"
#include "launcher/SyncBinding.h"
#include "net/Crypto.h"
#include "resources/resource.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "ui/DialogHosts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <commctrl.h>

#include <filesystem>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

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
    bool Synchronise(const std::string& archive, const std::string& staging, const std::string& folder) override
    {
        std::wstring error;
        return SynchroniseFolder(archive, staging, folder, error);
    }
    bool WaitCatalogueReady() override { return true; }
    void RequestInstall(const std::string& name) override { requestedInstall = name; }
    void Invalidate() override { ++invalidations; }
    void Received(uint64_t received, uint64_t total) override { bytes.emplace_back(received, total); }
    bool Cancelled() const override { return cancelled; }

    bool answerYes = false;
    std::function<void()> onStatus;
    bool cancelled = false;
    std::vector<std::wstring> questions, notices, noticeCaptions, opened, errors;
    std::vector<std::pair<uint64_t, uint64_t>> bytes;
    std::pair<int, int> range{-1, -1};
    std::vector<int> positions;
    std::vector<std::string> statuses;
    int refills = 0, saves = 0, invalidations = 0;
    std::string requestedInstall;
};

std::string ZipBytes(const TempDir& dir, const std::vector<ZipEntry>& entries)
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
        fs::create_directories(fs::path(WideFromUtf8(record.installedFolder + "\\" + execute)).parent_path());
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

} // namespace

TEST(Dependencies, SplitAtEveryCommaWithoutTrimming)
{
    EXPECT_TRUE(SplitDependencies("").empty());
    EXPECT_EQ((std::vector<std::string>{"A"}), SplitDependencies("A"));
    EXPECT_EQ((std::vector<std::string>{"A", "", "B ", " C"}), SplitDependencies("A,,B , C"));
}

TEST_F(Installation, ProgramWithoutDependenciesIsDownloadedSynchronisedAndRecorded)
{
    Add("ABC", 0, 7);
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program"}, {"data/x.ini", "k=v"}});
    InstallOrUpdate(state, "ABC", host);

    EXPECT_EQ((std::pair<int, int>{0, 2}), host.range);
    EXPECT_EQ((std::vector<int>{0, 1}), host.positions);
    ASSERT_FALSE(host.bytes.empty()) << "the download reports its bytes to the host";
    EXPECT_EQ(files["/ABC.zip"].size(), host.bytes.back().first);
    EXPECT_EQ((std::vector<std::string>{"Download application... ", "Installing 0/1", ""}), host.statuses);
    EXPECT_EQ("k=v", ReadBytes(data / L"apps\\ABC\\data\\x.ini"));
    EXPECT_EQ("7", state.m_settings.GetValue("ABC", "VERSION"));
    EXPECT_EQ(data.Narrow() + "apps\\ABC", state.m_settings.GetValue("ABC", "PATH"));
    EXPECT_EQ(7, state.m_catalogue[0].installedBuild);
    EXPECT_EQ(1, host.saves);
    EXPECT_EQ(1, host.refills);
    EXPECT_TRUE(host.questions.empty()) << "nothing to execute, so no start is offered";
    EXPECT_FALSE(InstallBusy());
}

TEST_F(Installation, CachedDependencyIsReusedAndTheStartIsOfferedWithTheLaunchFile)
{
    Add("ABC", 0, 3, "LIBA,LIBB", "abc.exe");
    Add("LIBA", 100, 1);
    Add("LIBB", 100, 1);
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program"}});
    files["/LIBA.zip"] = ZipBytes(scratch, {{"liba.dll", "fresh a"}});
    files["/LIBB.zip"] = ZipBytes(scratch, {{"libb.dll", "fresh b"}});
    fs::create_directories(data / L"deps");
    WriteBytes(data / L"deps\\LIBA.zip", ZipBytes(scratch, {{"liba.dll", "cached a"}}));
    WriteBytes(data / L"ABCinvoke.dat", "SW_CODE=ABC\r\n");
    host.answerYes = true;
    state.m_catalogue[0].installedBuild = 0;

    InstallOrUpdate(state, "ABC", host);

    std::vector<std::string> expected = {"Download dependencies... 0/2", "Download dependencies... 1/2",
                                         "Download application... ", "Installing 0/3", "Installing 1/3",
                                         "Installing 2/3", ""};
    EXPECT_EQ(expected, host.statuses);
    EXPECT_EQ((std::pair<int, int>{0, 6}), host.range);
    EXPECT_EQ(0, Downloads("/LIBA.zip"));
    EXPECT_EQ(1, Downloads("/LIBB.zip"));
    EXPECT_EQ("cached a", ReadBytes(data / L"apps\\ABC\\liba.dll")) << "dependencies go into the program's folder";
    EXPECT_EQ("fresh b", ReadBytes(data / L"apps\\ABC\\libb.dll"));
    ASSERT_EQ(1u, host.questions.size());
    EXPECT_EQ(L"<111:%s>", host.questions[0]);
    ASSERT_EQ(1u, host.opened.size());
    EXPECT_EQ((data / L"apps\\ABC\\abc.exe") + L" \"" + (data / L"ABCinvoke.dat") + L"\" in " + (data / L"apps\\ABC"),
              host.opened[0]);
}

TEST_F(Installation, CachedDependencyThatIsNoAcceptableArchiveIsFetchedAgain)
{
    Add("ABC", 0, 1, "LIBA");
    Add("LIBA", 100, 1);
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program"}});
    files["/LIBA.zip"] = ZipBytes(scratch, {{"liba.dll", "fresh a"}});
    fs::create_directories(data / L"deps");
    // Too short, an error page kept by an older build, an archive cut in half.
    const std::string whole = ZipBytes(scratch, {{"liba.dll", std::string(4000, 'c')}});
    int expectedDownloads = 0;
    for (const std::string& cached : {std::string("123456789"), std::string("<html>Not found</html>"),
                                      whole.substr(0, whole.size() / 2)}) {
        WriteBytes(data / L"deps\\LIBA.zip", cached);
        RecordingHost run;
        InstallOrUpdate(state, "ABC", run);
        EXPECT_EQ(++expectedDownloads, Downloads("/LIBA.zip")) << cached.size() << " cached bytes";
        EXPECT_EQ("fresh a", ReadBytes(data / L"apps\\ABC\\liba.dll"));
        EXPECT_TRUE(run.errors.empty());
    }
}

TEST_F(Installation, ArchivesAreCheckedAgainstTheIndexHashes)
{
    const std::string program = ZipBytes(scratch, {{"abc.exe", "program 2"}});
    const std::string package = ZipBytes(scratch, {{"liba.dll", "package 2"}});
    Add("ABC", 0, 2, "LIBA");
    SoftwareRecord& liba = Add("LIBA", 100, 2);
    SoftwareRecord& abc = state.m_catalogue[0];
    abc.archiveSha256 = HexOf(Sha256Of(program));
    abc.archiveSize = static_cast<int64_t>(program.size());
    liba.archiveSha256 = UpperAscii(HexOf(Sha256Of(package))); // either case
    liba.archiveSize = static_cast<int64_t>(package.size());

    // A cached package that no longer matches is fetched again.
    fs::create_directories(data / L"deps");
    WriteBytes(data / L"deps\\LIBA.zip", ZipBytes(scratch, {{"liba.dll", "package 1"}}));
    // Another archive of the same size: refused with the download error, nothing installed.
    std::string forged = program;
    forged[forged.size() / 2] ^= 0x01;
    files["/ABC.zip"] = forged;
    files["/LIBA.zip"] = package;
    InstallOrUpdate(state, "ABC", host);
    EXPECT_EQ(1, Downloads("/LIBA.zip"));
    EXPECT_EQ(package, ReadBytes(data / L"deps\\LIBA.zip"));
    ASSERT_EQ(1u, host.errors.size());
    EXPECT_EQ(L"Download: Error downloading: " + WideFromUtf8(server.Url("/ABC.zip")) + L"\n" +
                  (data / L"apps_cache\\ABC.zip"),
              host.errors[0]);
    EXPECT_EQ(2, Downloads("/ABC.zip"));
    EXPECT_FALSE(FileExists(data / L"apps\\ABC\\abc.exe"));
    EXPECT_FALSE(state.m_settings.HasKey("ABC", "VERSION"));

    // The right one served: installed, and the matching cached package is not fetched again.
    files["/ABC.zip"] = program;
    RecordingHost second;
    InstallOrUpdate(state, "ABC", second);
    EXPECT_TRUE(second.errors.empty());
    EXPECT_EQ("program 2", ReadBytes(data / L"apps\\ABC\\abc.exe"));
    EXPECT_EQ("package 2", ReadBytes(data / L"apps\\ABC\\liba.dll"));
    EXPECT_EQ(1, Downloads("/LIBA.zip"));
    EXPECT_EQ("2", state.m_settings.GetValue("ABC", "VERSION"));

    // With the maker's key an archive needs its digest from the signed index.
    state.m_signaturesRequired = true;
    state.m_catalogue[0].archiveSha256.clear(); // abc went with the catalogue's growth
    RecordingHost unchecked;
    InstallOrUpdate(state, "ABC", unchecked);
    EXPECT_EQ(1u, unchecked.errors.size());
    EXPECT_EQ(3, Downloads("/ABC.zip")) << "not even downloaded";

    // A SHA256 or SIZE that is no digest or size matches nothing, key or not.
    state.m_signaturesRequired = false;
    state.m_catalogue[0].archiveCheckMalformed = true;
    RecordingHost malformed;
    InstallOrUpdate(state, "ABC", malformed);
    EXPECT_EQ(1u, malformed.errors.size());
    EXPECT_EQ(3, Downloads("/ABC.zip"));
}

// The second attempt at an archive whose transfer broke asks only for the
// rest, and the archive checked as a whole is installed.
TEST_F(Installation, BrokenArchiveDownloadIsResumedAndInstalled)
{
    const std::string program = ZipBytes(scratch, {{"abc.exe", GeneratedBody(300000)}});
    const size_t cut = program.size() * 6 / 10;
    std::atomic<int> calls{0};
    LoopbackServer ranged([&](const HttpRequest& request) {
        HttpResponse response = RangeAnswer(request, program, "\"abc-2\"");
        if (calls++ == 0)
            response.cutAt = static_cast<long long>(cut);
        return response;
    });
    SoftwareRecord& abc = Add("ABC", 0, 2);
    abc.downloadAddress = ranged.Url("/ABC.zip");
    abc.archiveSha256 = HexOf(Sha256Of(program));
    InstallOrUpdate(state, "ABC", host);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(GeneratedBody(300000), ReadBytes(data / L"apps\\ABC\\abc.exe"));
    EXPECT_EQ("2", state.m_settings.GetValue("ABC", "VERSION"));
    std::vector<HttpRequest> requests = ranged.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("bytes=" + std::to_string(cut) + "-", requests[1].headers["range"]);
    EXPECT_EQ(program.size(), ranged.BodyBytesSent());
}

TEST_F(Installation, ChangeLogOverItsLimitIsNotFetched)
{
    SoftwareRecord& abc = Add("ABC", 0, 1);
    abc.changelogAddress = server.Url("/changes.txt");
    files["/changes.txt"] = std::string(kChangelogLimit + 1, 'c');
    EXPECT_FALSE(ShowChangelog(abc, state));
    EXPECT_FALSE(FileExists(data / L"changelog.txt"));
}

TEST_F(Installation, CachedPackageWhoseSynchronisationFailsIsRemoved)
{
    Add("ABC", 0, 1, "LIBA");
    Add("LIBA", 100, 1);
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program"}});
    files["/LIBA.zip"] = ZipBytes(scratch, {{"liba.dll", "fresh a"}});
    fs::create_directories(data / L"deps");
    WriteBytes(data / L"deps\\LIBA.zip", ZipBytes(scratch, {{"liba.dll", "cached a"}}));
    class FailingPackage : public RecordingHost {
    public:
        bool Synchronise(const std::string& archive, const std::string& staging, const std::string& folder) override
        {
            return archive.find("LIBA") == std::string::npos && RecordingHost::Synchronise(archive, staging, folder);
        }
    } failing;
    InstallOrUpdate(state, "ABC", failing);
    EXPECT_FALSE(FileExists(data / L"deps\\LIBA.zip")) << "the next installation fetches it anew";
    EXPECT_FALSE(state.m_settings.HasKey("ABC", "VERSION"));

    InstallOrUpdate(state, "ABC", host);
    EXPECT_EQ(1, Downloads("/LIBA.zip"));
    EXPECT_EQ("fresh a", ReadBytes(data / L"apps\\ABC\\liba.dll"));
}

TEST_F(Installation, MissingDependencyOrApplicationStopsWithTheDownloadError)
{
    Add("ABC", 0, 1, "LIBA,,LIBB");
    Add("LIBA", 100, 1);
    files["/LIBA.zip"] = ZipBytes(scratch, {{"liba.dll", "a"}});
    InstallOrUpdate(state, "ABC", host);
    ASSERT_EQ(1u, host.errors.size());
    EXPECT_EQ(L"Download: Error downloading: \n" + (data / L"deps\\.zip"), host.errors[0]);
    EXPECT_EQ("", host.statuses.back());
    EXPECT_FALSE(state.m_settings.HasKey("ABC", "VERSION"));

    RecordingHost second;
    state.m_catalogue[0].dependencies.clear();
    InstallOrUpdate(state, "ABC", second);
    ASSERT_EQ(1u, second.errors.size());
    EXPECT_EQ(L"Download: Error downloading: " + WideFromUtf8(server.Url("/ABC.zip")) + L"\n" +
                  (data / L"apps_cache\\ABC.zip"),
              second.errors[0]);
    EXPECT_EQ(2, Downloads("/ABC.zip")) << "one more attempt after a failure";
    EXPECT_EQ(0, second.refills);
}

TEST_F(Installation, FailedSynchronisationKeepsThePreviousStateAndSaysTheProgramMayBeOpen)
{
    SoftwareRecord& record = Add("ABC", 0, 5);
    record.installedBuild = 4;
    files["/ABC.zip"] = "this is an error page, not an archive";
    InstallOrUpdate(state, "ABC", host);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ("", host.statuses.back());
    EXPECT_EQ(4, state.m_catalogue[0].installedBuild);
    EXPECT_EQ(0, host.saves);
    ASSERT_EQ(1u, host.notices.size());
    EXPECT_EQ(L"<112:%s>", host.notices[0]);
    EXPECT_EQ(L"Installazione", host.noticeCaptions[0]);
}

// Closing the window stops an installation: a download not begun is not
// asked for, one in flight ends and is not tried again; nothing is shown,
// synchronised or recorded.
TEST_F(Installation, StoppedInstallationShowsSynchronisesAndRecordsNothing)
{
    Add("ABC", 0, 2, "LIBA");
    Add("LIBA", 100, 1);
    // Larger than one read, so the transfer is still under way when stopped.
    std::string body(256 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = GeneratedByte(i);
    files["/ABC.zip"] = body;
    host.onStatus = [&] {
        if (host.statuses.back() == "Download dependencies... 0/1")
            host.cancelled = true;
    };
    InstallOrUpdate(state, "ABC", host);
    EXPECT_EQ(0, Downloads("/LIBA.zip"));
    EXPECT_EQ(0, Downloads("/ABC.zip"));
    EXPECT_TRUE(host.errors.empty());
    EXPECT_TRUE(host.notices.empty());

    // Stopped while the application's archive arrives.
    class StopOnFirstBytes : public RecordingHost {
    public:
        void Received(uint64_t received, uint64_t total) override
        {
            RecordingHost::Received(received, total);
            cancelled = true;
        }
    } late;
    state.m_catalogue[0].dependencies.clear();
    InstallOrUpdate(state, "ABC", late);
    EXPECT_EQ(1, Downloads("/ABC.zip")) << "a stopped download is not tried again";
    ASSERT_FALSE(late.bytes.empty());
    EXPECT_LT(late.bytes.back().first, body.size());
    EXPECT_FALSE(FileExists(data / L"apps_cache\\ABC.zip"));
    EXPECT_FALSE(FileExists(data / L"apps\\ABC\\abc.exe"));
    EXPECT_FALSE(state.m_settings.HasKey("ABC", "VERSION"));
    EXPECT_EQ(0, state.m_catalogue[0].installedBuild);
    EXPECT_TRUE(late.errors.empty());
    EXPECT_TRUE(late.notices.empty());
    EXPECT_EQ(0, late.refills);
    EXPECT_EQ("", late.statuses.back());
    EXPECT_FALSE(InstallBusy());
}

// The installation worker's link to the window: the bar counts steps and
// moves within a download's step with its bytes; one worker runs at a time;
// once stopped it changes no control.
TEST(InstallationLink, BarShowsEachStepAndTheBytesWithinIt)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 0, 10, 10, window,
                               reinterpret_cast<HMENU>(1009), nullptr, nullptr);
    HWND status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 20, 10, 10, window,
                                  reinterpret_cast<HMENU>(1010), nullptr, nullptr);
    ASSERT_NE(nullptr, status);
    auto position = [bar] { return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)); };
    InstallationLink link(window, std::make_shared<CatalogueLink>(window, L""), [] { return true; });

    ASSERT_TRUE(link.Begin());
    EXPECT_FALSE(link.Begin()) << "a second click while one runs starts nothing";
    link.Received(10, 100);
    EXPECT_EQ(0, position()) << "a change log download has no steps to move in";
    link.SetProgressRange(0, 4);
    EXPECT_EQ(4 * InstallationLink::kStepScale, SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    link.SetProgressPos(1);
    EXPECT_EQ(InstallationLink::kStepScale, position()) << "each step shows its own fraction";
    link.Received(50, 200);
    EXPECT_EQ(InstallationLink::kStepScale * 5 / 4, position());
    link.Received(90, 0);
    EXPECT_EQ(InstallationLink::kStepScale * 5 / 4, position()) << "no size given: the bar stays";
    link.Received(200, 200);
    EXPECT_EQ(2 * InstallationLink::kStepScale, position());
    link.SetStatusText("Download application... ");
    wchar_t text[64] = {};
    GetWindowTextW(status, text, 64);
    EXPECT_STREQ(L"Download application... ", text);

    link.Cancel();
    EXPECT_TRUE(link.Cancelled());
    EXPECT_TRUE(link.WindowGone()) << "no question is asked any more";
    link.SetStatusText("");
    link.SetProgressPos(3);
    GetWindowTextW(status, text, 64);
    EXPECT_STREQ(L"Download application... ", text);
    EXPECT_EQ(2 * InstallationLink::kStepScale, position());
    link.End();
    EXPECT_FALSE(link.Running());
    DestroyWindow(window);
}

TEST_F(Installation, NestedRequestWhileBusyIsIgnoredAndUnknownNamesDoNothing)
{
    Add("ABC", 0, 1);
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program"}});
    int nested = 0;
    host.onStatus = [&] {
        if (nested++ == 0) {
            RecordingHost inner;
            InstallOrUpdate(state, "ABC", inner);
            EXPECT_TRUE(inner.statuses.empty());
        }
    };
    InstallOrUpdate(state, "ABC", host);
    EXPECT_EQ(1, Downloads("/ABC.zip"));

    RecordingHost unknown;
    InstallOrUpdate(state, "NOPE", unknown);
    EXPECT_TRUE(unknown.statuses.empty());
    EXPECT_EQ((std::pair<int, int>{-1, -1}), unknown.range);
}

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

    host.answerYes = true;
    EXPECT_FALSE(LaunchProgram("x", "ABC", state, host, update));
    EXPECT_TRUE(update);
    EXPECT_EQ(1u, host.opened.size());

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
        if (check.expected == StartRefusal::None)
            EXPECT_EQ(folder + L"\\bin\\tool.exe", full) << check.toExecute;
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

TEST(ServerChoice, WritesTheServerAndKeepsTheRestOfTheFile)
{
    TempDir dir;
    std::string text = "[REPOSITORY]\r\nURL=http://repo/\r\n[SERVER]\r\nURL=http://test/\r\n";
    for (int i = 0; i < 10; ++i)
        text += "PAD" + std::to_string(i) + "=1\r\n";
    text += "[LATE]\r\nKEY=kept\r\n";
    WriteBytes(dir / L"server.dat", text);
    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "server.dat", "http://main/sw_index.dat"));
    KeyValueStore written;
    ASSERT_TRUE(written.LoadFile(dir / L"server.dat"));
    EXPECT_EQ("http://main/sw_index.dat", written.GetValue("SERVER", "URL"));
    EXPECT_EQ("http://repo/", written.GetValue("REPOSITORY", "URL"));
    EXPECT_EQ("kept", written.GetValue("LATE", "KEY")) << "nothing below the tenth line is lost";

    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "new.dat", "http://x/"));
    EXPECT_EQ("[SERVER]\r\nURL=http://x/\r\n", ReadBytes(dir / L"new.dat"));

    // Settings before and after the sections: the chosen URL is what the
    // next start, reading ten lines, finds, and no setting is lost.
    std::string busy = "LANG=it\r\nTHEME=dark\r\n[AAA]\r\n";
    for (int i = 0; i < 12; ++i)
        busy += "K" + std::to_string(i) + "=v\r\n";
    busy += "[SERVER]\r\nALIAS=old\r\nURL=http://old/\r\n[ZZZ]\r\nLAST=1\r\n";
    WriteBytes(dir / L"busy.dat", busy);
    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "busy.dat", "http://chosen/"));
    KeyValueStore head, whole;
    head.LoadFile(dir / L"busy.dat", 10);
    whole.LoadFile(dir / L"busy.dat");
    EXPECT_EQ("http://chosen/", head.GetValue("SERVER", "URL"));
    EXPECT_EQ("old", whole.GetValue("SERVER", "ALIAS"));
    EXPECT_EQ("it", whole.GetValue(KeyValueStore::kGlobal, "LANG"));
    EXPECT_EQ("dark", whole.GetValue(KeyValueStore::kGlobal, "THEME"));
    EXPECT_EQ("v", whole.GetValue("AAA", "K11"));
    EXPECT_EQ("1", whole.GetValue("ZZZ", "LAST"));

    // The maker's key stays, where the next start reads it, however busy the
    // server's own section.
    busy = "[SERVER]\r\n";
    for (int i = 0; i < 12; ++i)
        busy += "K" + std::to_string(i) + "=v\r\n";
    busy += "URL=http://old/\r\n[SIGNATURE]\r\nKEY=MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE\r\n";
    WriteBytes(dir / L"signed.dat", busy);
    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "signed.dat", "http://chosen/"));
    KeyValueStore signedHead;
    signedHead.LoadFile(dir / L"signed.dat", 10);
    EXPECT_EQ("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE", signedHead.GetValue("SIGNATURE", "KEY"));
    EXPECT_EQ("http://chosen/", signedHead.GetValue("SERVER", "URL"));
}

TEST(HostileNames, EachRuleOfAPlainFileName)
{
    for (const char* name : {"ABC", "abc.txt", "My Program", "..name", "Citt\xC3\xA0", "COM10", "COMA", "LPT0",
                             "CONSOLE", "AUXILIARY.txt", "a.b.c"})
        EXPECT_TRUE(IsSafeFileName(name)) << name;
    for (const char* name : {"", ".", "..", "a\\b", "a/b", "a:b", "a*", "a?", "a\"b", "a<b", "a>b", "a|b", "tab\there",
                             "trailing.", "trailing ", "CON", "con", "Prn.txt", "AUX", "nul.tar.gz", "COM1", "com9.log",
                             "LPT3", "NUL .txt", "COM\xC2\xB9", "CONIN$"})
        EXPECT_FALSE(IsSafeFileName(name)) << name;
    EXPECT_TRUE(IsSafeFileName(std::string(64, 'x')));
    EXPECT_FALSE(IsSafeFileName(std::string(65, 'x')));
    EXPECT_TRUE(IsSafeFileName(std::string(200, 'x'), 255));
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
