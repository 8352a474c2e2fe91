// Installs, updates and repairs against a loopback server, the real
// trelko_util_r.dll and real files: dependencies and cached packages, checks
// and resumed downloads, failures that put the previous state back, partial
// updates; and the dialog links' bars and questions, the server choice and
// hostile names. Launch, invocation and uninstall are in LaunchTest.cpp.
#include "environment/ServerChoice.h"
#include "catalogue/CatalogueFiles.h"
#include "install/Commands.h"
#include "install/Installer.h"
#include "install/Invocation.h"
#include "install/PartialUpdate.h"
#include "launcher/HandOver.h"
#include "environment/LauncherState.h"
#include "environment/SyncBinding.h"
#include "net/Crypto.h"
#include "resources/resource.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "tests/InstallationFixture.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "ui/DialogHosts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <commctrl.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

using namespace testing_support;
namespace fs = std::filesystem;

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
    EXPECT_TRUE(unchecked.errors.empty()) << "no download failed: none was made";
    ASSERT_EQ(1u, unchecked.notices.size());
    EXPECT_EQ(L"<119:ABC>", unchecked.notices[0]);
    EXPECT_EQ(3, Downloads("/ABC.zip")) << "not even downloaded";

    // A SHA256 or SIZE that is no digest or size matches nothing, key or not.
    state.m_signaturesRequired = false;
    state.m_catalogue[0].archiveCheckMalformed = true;
    RecordingHost malformed;
    InstallOrUpdate(state, "ABC", malformed);
    EXPECT_TRUE(malformed.errors.empty());
    EXPECT_EQ(1u, malformed.notices.size());
    EXPECT_EQ(3, Downloads("/ABC.zip"));

    // With the key, a list past its EXPIRES, or with one that cannot be
    // read, installs and updates nothing and says why.
    state.m_catalogue[0].archiveCheckMalformed = false;
    state.m_catalogue[0].archiveSha256 = HexOf(Sha256Of(program));
    state.m_signaturesRequired = true;
    for (const char* expires : {"2020-01-01T00:00:00Z", "2999-01-01"}) {
        state.m_catalogueExpires = expires;
        RecordingHost stale;
        InstallOrUpdate(state, "ABC", stale, true);
        EXPECT_TRUE(stale.errors.empty()) << expires;
        ASSERT_EQ(1u, stale.notices.size()) << expires;
        EXPECT_EQ(L"<121:ABC>", stale.notices[0]) << expires;
        EXPECT_TRUE(stale.conclusions.empty()) << expires;
    }
    EXPECT_EQ(3, Downloads("/ABC.zip"));
    EXPECT_EQ("\xC3\xA8 scaduto il 2020-01-01 00:00 UTC",
              CatalogueOutOfDateReason(true, "2020-01-01T00:00:00Z", "2026-12-09T13:00:00Z"));
    EXPECT_EQ("", CatalogueOutOfDateReason(false, "2020-01-01T00:00:00Z", "2026-12-09T13:00:00Z"));
    EXPECT_EQ("", CatalogueOutOfDateReason(true, "", "2026-12-09T13:00:00Z"));
    // A current list installs as before.
    state.m_catalogueExpires = "2999-01-01T00:00:00Z";
    RecordingHost current;
    InstallOrUpdate(state, "ABC", current, true);
    EXPECT_TRUE(current.notices.empty());
    EXPECT_TRUE(current.errors.empty());
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

TEST_F(Installation, ChangeLogOverItsLimitOrUnmatchedIsNotShown)
{
    SoftwareRecord& abc = Add("ABC", 0, 1);
    abc.changelogAddress = server.Url("/changes.txt");
    files["/changes.txt"] = std::string(kChangelogLimit + 1, 'c');
    EXPECT_FALSE(ShowChangelog(abc, state));
    EXPECT_FALSE(FileExists(data / L"changelog.txt"));

    // With the maker's key a change log needs the signed index's SHA256, and must match it.
    files["/changes.txt"] = "Build 1: first release";
    state.m_signaturesRequired = true;
    const size_t asked = server.Requests().size();
    EXPECT_FALSE(ShowChangelog(abc, state));
    EXPECT_EQ(asked, server.Requests().size()) << "nothing fetched without a SHA256";
    abc.changelogCheck.sha256 = HexOf(Sha256Of("Build 1: another text"));
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
        StepOutcome Synchronise(const std::vector<std::string>& archives, const std::string&, const std::string&,
                                bool, const std::string&, const std::function<void(int)>&) override
        {
            StepOutcome outcome;
            outcome.result = SyncResult::ArchiveRefused;
            outcome.failedArchive = archives[0].find("LIBA") != std::string::npos ? 0 : -1;
            return outcome;
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

// Each failure says what it is: "probably open" only for a file held open,
// and only a package the library refuses is thrown out of the shared cache.
TEST_F(Installation, FailedSynchronisationKeepsThePreviousStateAndSaysWhy)
{
    SoftwareRecord& record = Add("ABC", 0, 5, "LIBA");
    record.installedBuild = 4;
    Add("LIBA", 100, 1);
    files["/ABC.zip"] = "this is an error page, not an archive";
    fs::create_directories(data / L"deps");
    const std::string package = ZipBytes(scratch, {{"liba.dll", "a"}});
    WriteBytes(data / L"deps\\LIBA.zip", package);
    InstallOrUpdate(state, "ABC", host);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ("", host.statuses.back());
    EXPECT_EQ(4, state.m_catalogue[0].installedBuild);
    EXPECT_EQ(0, host.saves);
    ASSERT_EQ(1u, host.notices.size());
    EXPECT_EQ(L"<113:%s>", host.notices[0]) << "the archive is refused, nothing is open";
    EXPECT_EQ(L"Installazione", host.noticeCaptions[0]);
    EXPECT_EQ(package, ReadBytes(data / L"deps\\LIBA.zip")) << "the package is not at fault";

    // Build 5 over a folder whose program is open: nothing of either archive
    // is copied, and the cached package stays for other programs and offline.
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program 5", MakeDos(2025, 1, 1, 0, 0, 0)}});
    fs::create_directories(data / L"apps\\ABC");
    WriteBytes(data / L"apps\\ABC\\abc.exe", "program 4");
    SetWriteTime(data / L"apps\\ABC\\abc.exe", FileTimeOf(MakeDos(2024, 1, 1, 0, 0, 0)));
    HANDLE held = CreateFileW((data / L"apps\\ABC\\abc.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    RecordingHost open;
    InstallOrUpdate(state, "ABC", open);
    CloseHandle(held);
    ASSERT_EQ(1u, open.notices.size());
    EXPECT_EQ(L"<112:%s>", open.notices[0]);
    EXPECT_FALSE(FileExists(data / L"apps\\ABC\\liba.dll")) << "the package waits for the program";
    EXPECT_EQ(package, ReadBytes(data / L"deps\\LIBA.zip"));
    EXPECT_EQ(0, open.saves);

    RecordingHost closed;
    InstallOrUpdate(state, "ABC", closed);
    EXPECT_TRUE(closed.notices.empty());
    EXPECT_EQ("program 5", ReadBytes(data / L"apps\\ABC\\abc.exe"));
    EXPECT_EQ("a", ReadBytes(data / L"apps\\ABC\\liba.dll"));
    EXPECT_EQ(std::vector<bool>{true}, closed.conclusions) << "the step stands once recorded";
    EXPECT_EQ("5", state.m_settings.GetValue("ABC", "VERSION"));
}

// A build that cannot be recorded is put back, and nothing of it stays in
// memory to be saved at exit.
TEST_F(Installation, BuildThatCannotBeRecordedIsPutBack)
{
    Add("ABC", 0, 3);
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", "program"}});
    class Unsaved : public RecordingHost {
    public:
        bool SaveInstalledState() override { return false; }
    } unsaved;
    InstallOrUpdate(state, "ABC", unsaved);
    EXPECT_FALSE(FileExists(data / L"apps\\ABC\\abc.exe"));
    EXPECT_EQ(std::vector<bool>{false}, unsaved.conclusions);
    EXPECT_FALSE(state.m_settings.HasKey("ABC", "VERSION"));
    EXPECT_EQ(0, state.m_catalogue[0].installedBuild);
    ASSERT_EQ(1u, unsaved.notices.size());
    EXPECT_EQ(L"<116:%s>", unsaved.notices[0]);
}

// A step found pending at start stands when it was recorded (its build and
// its own identity), and is put back otherwise: a repair or re-install of
// the recorded build too, and a step whose staging folder a cleaner removed.
TEST_F(Installation, PendingStepAtStartStandsOnlyWhenRecorded)
{
    KeyValueStore settings;
    settings.SetValue("VERSION", "7", "ABC");
    settings.SetValue("STEP", "s1", "ABC");
    EXPECT_TRUE(InstallationTagRecorded(InstallationTag("ABC", 7, "s1"), settings));
    EXPECT_FALSE(InstallationTagRecorded(InstallationTag("ABC", 7, "s2"), settings)) << "a repair of build 7";
    EXPECT_FALSE(InstallationTagRecorded("ABC=7", settings)) << "no identity: it cannot be told from a repair";
    EXPECT_FALSE(InstallationTagRecorded(InstallationTag("ABC", 6, "s1"), settings));
    EXPECT_FALSE(InstallationTagRecorded(InstallationTag("LIB", 7, "s1"), settings));
    EXPECT_FALSE(InstallationTagRecorded("ABC=;s1", settings));
    EXPECT_FALSE(InstallationTagRecorded("", settings));
    EXPECT_NE(NewStepIdentity(), NewStepIdentity());

    const std::string archive = data.Narrow() + "abc.zip";
    WriteBytes(WideFromUtf8(archive), ZipBytes(scratch, {{"abc.exe", "program"}}));
    const std::string staging = data.Narrow() + "morvindex_tmp";
    const std::string folder = data.Narrow() + "apps\\ABC";
    fs::create_directories(data / L"apps");
    volatile long stop = 0;
    const struct {
        const char* what;
        bool recorded, repair, cleaned;
    } cases[] = {{"not recorded", false, false, false},
                 {"recorded", true, false, false},
                 {"a repair of the recorded build", false, true, false},
                 {"recorded, staging removed by a cleaner", true, false, true},
                 {"not recorded, staging removed by a cleaner", false, false, true}};
    for (const auto& pending : cases) {
        SCOPED_TRACE(pending.what);
        std::error_code error;
        fs::remove_all(data / L"apps\\ABC", error);
        EXPECT_FALSE(error) << error.message();
        const std::string step = NewStepIdentity();
        if (pending.repair) {
            state.m_settings.SetValue("VERSION", "2", "ABC");
            state.m_settings.SetValue("STEP", NewStepIdentity(), "ABC");
        }
        ASSERT_EQ(SyncResult::Done,
                  SynchroniseArchives({archive}, staging, folder, false, &stop, InstallationTag("ABC", 2, step)).result);
        if (pending.recorded) {
            state.m_settings.SetValue("VERSION", "2", "ABC");
            state.m_settings.SetValue("STEP", step, "ABC");
        }
        // A copying process that has just ended may still hold the folder
        // for a moment; the cleaner comes back until it is gone.
        if (pending.cleaned)
            EXPECT_TRUE(WaitUntil(10000, [&] {
                fs::remove_all(WideFromUtf8(staging), error);
                return !error;
            })) << error.message();
        ResolvePendingInstallation(state);
        std::string tag;
        EXPECT_FALSE(PendingArchiveStep(staging, tag));
        EXPECT_EQ(pending.recorded, FileExists(data / L"apps\\ABC\\abc.exe"));
    }
}

// "Installa/Aggiorna" on an up-to-date program repairs it: a file cut short
// and dated later than the archive is copied again.
TEST_F(Installation, RepairCopiesAgainWhatDiffersFromTheArchive)
{
    SoftwareRecord& record = Add("ABC", 0, 3);
    EXPECT_FALSE(OffersRepair(record)) << "not installed";
    files["/ABC.zip"] = ZipBytes(scratch, {{"abc.exe", std::string(5000, 'p')}, {"b.dll", "library"}});
    InstallOrUpdate(state, "ABC", host);
    EXPECT_TRUE(OffersRepair(state.m_catalogue[0]));
    state.m_catalogue[0].availableBuild = 4;
    EXPECT_FALSE(OffersRepair(state.m_catalogue[0])) << "an update is on offer";
    state.m_catalogue[0].availableBuild = 3;

    WriteBytes(data / L"apps\\ABC\\abc.exe", std::string(1200, 'p')); // cut, dated now
    RecordingHost plain;
    InstallOrUpdate(state, "ABC", plain);
    EXPECT_EQ(1200u, ReadBytes(data / L"apps\\ABC\\abc.exe").size()) << "newer than the archive's";
    RecordingHost repair;
    InstallOrUpdate(state, "ABC", repair, true);
    EXPECT_EQ(std::string(5000, 'p'), ReadBytes(data / L"apps\\ABC\\abc.exe"));
    EXPECT_EQ("library", ReadBytes(data / L"apps\\ABC\\b.dll"));
    EXPECT_EQ("3", state.m_settings.GetValue("ABC", "VERSION"));
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
namespace {

// A window with the dialog's bar (1009) and status line (1010).
struct BarWindow {
    BarWindow()
    {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 0, 10, 10, window, reinterpret_cast<HMENU>(1009),
                              nullptr, nullptr);
        status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 20, 10, 10, window, reinterpret_cast<HMENU>(1010),
                                 nullptr, nullptr);
    }
    ~BarWindow() { DestroyWindow(window); }
    int Position() const { return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)); }
    std::wstring Status() const
    {
        wchar_t text[128] = {};
        GetWindowTextW(status, text, 128);
        return text;
    }
    HWND window, bar, status;
};

} // namespace

TEST(InstallationLink, BarShowsEachStepAndTheBytesWithinIt)
{
    BarWindow dialog;
    ASSERT_NE(nullptr, dialog.status);
    HWND window = dialog.window;
    HWND status = dialog.status;
    auto position = [&dialog] { return dialog.Position(); };
    InstallationLink link(window, std::make_shared<CatalogueLink>(window, L""), [] { return true; });

    ASSERT_TRUE(link.Begin());
    EXPECT_FALSE(link.Begin()) << "a second click while one runs starts nothing";
    link.Received(10, 100);
    EXPECT_EQ(0, position()) << "a change log download has no steps to move in";
    link.SetProgressRange(0, 4);
    EXPECT_EQ(4 * InstallationLink::kStepScale, SendMessageW(dialog.bar, PBM_GETRANGE, FALSE, 0));
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
}

// Thumbnails loading while a program installs: the installation owns the bar
// and the status line until it ends; the catalogue's warning then stands.
TEST(InstallationLink, CatalogueKeepsOutOfAnInstallationsBarAndItsWarningStays)
{
    BarWindow dialog;
    ASSERT_NE(nullptr, dialog.status);
    HWND window = dialog.window;
    auto position = [&dialog] { return dialog.Position(); };
    auto statusText = [&dialog] { return dialog.Status(); };
    auto catalogue = std::make_shared<CatalogueLink>(window, L"");
    InstallationLink link(window, catalogue, [] { return true; });
    catalogue->SetStatusText("Download thumbnails... 1/5");

    ASSERT_TRUE(link.Begin());
    link.SetProgressRange(0, 2);
    link.SetProgressPos(1);
    link.SetStatusText("Installing 0/1");
    catalogue->SetStatusText("Download thumbnails... 2/5");
    catalogue->SetProgressPos(0);
    EXPECT_EQ(L"Installing 0/1", statusText());
    EXPECT_EQ(InstallationLink::kStepScale, position()) << "the catalogue's last step does not reset the bar";
    catalogue->SetStatusText("Impossibile verificare l'elenco");
    link.SetStatusText("");
    EXPECT_EQ(L"Impossibile verificare l'elenco", statusText()) << "the installation's end keeps the warning";
    link.End();
    EXPECT_EQ(L"Impossibile verificare l'elenco", statusText());
    EXPECT_EQ(0, position()) << "the catalogue's own bar again";
    catalogue->SetStatusText("");
    EXPECT_EQ(L"", statusText());
}

// The catalogue worker starts before the window exists: what it reports
// until the window takes its link is kept, shown once, and nothing of it is
// sent to a window that is not there or listed twice.
TEST(CatalogueLink, ReportsMadeBeforeTheWindowShowWhenItIsAttached)
{
    BarWindow dialog;
    HWND servers = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 40, 100, 100, dialog.window,
                                   reinterpret_cast<HMENU>(IDC_SERVER), nullptr, nullptr);
    ASSERT_NE(nullptr, servers);
    auto serverNames = [servers] {
        std::vector<std::wstring> names;
        for (LRESULT i = 0; i < SendMessageW(servers, CB_GETCOUNT, 0, 0); ++i) {
            wchar_t name[64] = {};
            SendMessageW(servers, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name));
            names.push_back(name);
        }
        return names;
    };
    auto link = std::make_shared<CatalogueLink>(nullptr, L"");
    link->SetStatusText("Download sw_index...");
    link->SetProgressRange(0, 5);
    link->SetProgressPos(2);
    link->ResetServers();
    link->AddServer(L"PRINCIPALE");
    link->AddServer(L"RISERVA");
    link->SelectServer(1);
    link->CatalogueReady();
    EXPECT_EQ(L"", dialog.Status());
    EXPECT_EQ(0, SendMessageW(servers, CB_GETCOUNT, 0, 0));

    link->AttachDialog(dialog.window);
    EXPECT_EQ(L"Download sw_index...", dialog.Status());
    EXPECT_EQ(2, dialog.Position());
    EXPECT_EQ(5, SendMessageW(dialog.bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_EQ((std::vector<std::wstring>{L"PRINCIPALE", L"RISERVA"}), serverNames());
    EXPECT_EQ(1, SendMessageW(servers, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(1, link->ServerInUse());
    EXPECT_TRUE(link->IsCatalogueReady());

    // Reports after the window took the link go straight to it.
    link->AddServer(L"TERZO");
    link->SetStatusText("");
    EXPECT_EQ((std::vector<std::wstring>{L"PRINCIPALE", L"RISERVA", L"TERZO"}), serverNames());
    EXPECT_EQ(L"", dialog.Status());
    link->ResetServers();
    EXPECT_EQ(0, SendMessageW(servers, CB_GETCOUNT, 0, 0));
}

namespace {

struct BoxSearch {
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<BoxSearch*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && wcscmp(text, search->caption) == 0)
        search->found.push_back(window);
    return TRUE;
}

// The visible boxes of this process with that caption.
std::vector<HWND> BoxesCaptioned(const wchar_t* caption)
{
    BoxSearch search{caption, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

// Two workers with something to say: the second box comes only once the
// first is answered, so closing one never enables the dialog under the other;
// once the window is gone nothing is asked and no answer counts.
TEST(InstallationLink, QuestionsOfTwoWorkersComeOneAfterTheOther)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    WindowPrompts installation(window), invocation(window);
    std::atomic<int> answered{0};
    std::thread first([&] { installation.Notify(L"uno", L"Domanda"); ++answered; });
    std::thread second([&] { invocation.AskYesNo(L"due", L"Domanda"); ++answered; });
    size_t most = 0;
    int closed = 0;
    while (closed < 2) {
        PumpMessages();
        std::vector<HWND> boxes = BoxesCaptioned(L"Domanda");
        if (boxes.empty()) {
            Sleep(10);
            continue;
        }
        // Give a second box every chance to show up beside the first.
        for (int i = 0; i < 25; ++i, Sleep(20))
            PumpMessages();
        boxes = BoxesCaptioned(L"Domanda");
        most = std::max(most, boxes.size());
        PostMessageW(boxes[0], WM_COMMAND, IDOK, 0);
        PostMessageW(boxes[0], WM_COMMAND, IDNO, 0);
        ++closed;
        while (IsWindow(boxes[0]))
            PumpMessages();
    }
    first.join();
    second.join();
    EXPECT_EQ(1u, most);
    EXPECT_EQ(2, answered.load());

    DestroyWindow(window);
    EXPECT_FALSE(installation.AskYesNo(L"tre", L"Domanda"));
    EXPECT_TRUE(BoxesCaptioned(L"Domanda").empty());
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

    // A header start-up reads as the signature section, however it was
    // written, keeps its key there.
    for (const char* header : {"SIGNATURE]", "[SIGNATURE", "[ signature ]"}) {
        WriteBytes(dir / L"odd.dat", std::string("[SERVER]\r\nURL=http://old/\r\n") + header +
                                         "\r\nKEY = MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE\r\n");
        ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "odd.dat", "http://chosen/"));
        std::string written;
        ASSERT_TRUE(ReadFileBytes(dir / L"odd.dat", written));
        bool required = false;
        PublicKey key;
        std::string keyText;
        ReadMakerKey(ServerFileText(written), required, key, &keyText);
        EXPECT_TRUE(required) << header;
        EXPECT_EQ("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE", keyText) << header << "\n" << written;
    }
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

TEST(PartialUpdate, RequestsJoinNeighboursStayFewAndTheMapReadsBackExactly)
{
    const std::vector<ByteRange> apart = PlanRequests({{250, 299}, {0, 49}, {100, 199}}, 10, 16);
    ASSERT_EQ(3u, apart.size());
    EXPECT_EQ(0u, apart[0].first);
    EXPECT_EQ(250u, apart[2].first);
    const std::vector<ByteRange> joined = PlanRequests({{250, 299}, {0, 49}, {100, 199}}, 50, 16);
    ASSERT_EQ(1u, joined.size()) << "gaps of 50 bytes are fetched with their neighbours";
    EXPECT_EQ(299u, joined[0].last);
    const std::vector<ByteRange> few = PlanRequests({{0, 9}, {100, 109}, {120, 129}, {1000, 1009}}, 0, 2);
    ASSERT_EQ(2u, few.size()) << "the closest neighbours are joined first";
    EXPECT_EQ(129u, few[0].last);
    EXPECT_EQ(1000u, few[1].first);
    EXPECT_EQ(140u, RequestedBytes(few));
    EXPECT_TRUE(PartialFetchPays(50, 10, 120));
    EXPECT_FALSE(PartialFetchPays(51, 10, 120));

    ArchiveEntries entries;
    entries.archiveSize = 5000;
    ArchiveEntry entry;
    entry.name = "sub dir/Citt\xC3\xA0 v2.txt";
    entry.offset = 100;
    entry.length = 60;
    entry.compressedSize = 20;
    entry.uncompressedSize = 4000000000ull;
    entry.crc = 0x352441C2;
    entry.dosDate = 0x58AF5000;
    entry.sha256 = std::string(64, 'a');
    entries.entries.push_back(entry);
    entry.folder = true;
    entry.name = "sub dir/";
    entry.offset = 200;
    entries.entries.push_back(entry);
    const std::string text = FormatEntriesFile(entries);
    ArchiveEntries back;
    ASSERT_TRUE(ParseEntriesFile(text, back)) << text;
    EXPECT_EQ(text, FormatEntriesFile(back));
    EXPECT_EQ("sub dir/Citt\xC3\xA0 v2.txt", back.entries[0].name);
    EXPECT_EQ(4000000000ull, back.entries[0].uncompressedSize);
    EXPECT_TRUE(back.entries[1].folder);
    auto spoilt = [&text](const std::string& from, const std::string& to) {
        std::string copy = text;
        copy.replace(copy.find(from), from.size(), to);
        ArchiveEntries ignored;
        return ParseEntriesFile(copy, ignored);
    };
    EXPECT_FALSE(spoilt("ENTRIES 1", "ENTRIES 2"));
    EXPECT_FALSE(spoilt("352441c2", "352441C2")) << "hex is written one way";
    EXPECT_FALSE(spoilt("ARCHIVE 5000", "ARCHIVE 150")) << "a record past the archive's end";
    EXPECT_FALSE(spoilt(" v2.txt", " v2\t.txt"));
    EXPECT_FALSE(spoilt("100 60 20", "100 40 20")) << "shorter than its header and data";
    EXPECT_FALSE(spoilt(std::string(64, 'a') + " sub dir/\n", std::string(64, 'a') + " \n"));
    EXPECT_FALSE(spoilt(" sub dir/\n", " sub dir/"));
    // Names are paths below the program's folder; records do not share bytes.
    for (const char* name : {"sub dir/AUX", "../Citt\xC3\xA0.txt", "C:/x.txt", "sub dir//x.txt", "sub dir\\x.txt"})
        EXPECT_FALSE(spoilt("sub dir/Citt\xC3\xA0 v2.txt", name)) << name;
    EXPECT_FALSE(spoilt("200 60 20", "150 60 20")) << "records that overlap";
}

namespace {

// Bytes that do not deflate, so that records keep their size.
std::string NoiseBytes(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Every file below folder: the SHA-256 of its bytes and its last-write time.
std::map<std::wstring, std::pair<std::string, uint64_t>> FolderContent(const std::wstring& folder)
{
    std::map<std::wstring, std::pair<std::string, uint64_t>> content;
    for (const auto& item : fs::recursive_directory_iterator(fs::path(folder))) {
        if (!item.is_regular_file())
            continue;
        const FILETIME time = WriteTimeOf(item.path().wstring());
        content[item.path().wstring().substr(folder.size())] = {
            HexOf(Sha256Of(ReadBytes(item.path().wstring()))),
            (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime};
    }
    return content;
}

// Build 1 of a program of six files, and build 2 in which the first
// `changed` files changed and one was added at the end.
std::vector<ZipEntry> ProgramBuild(int build, int changed)
{
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 6; ++i) {
        const bool newer = build == 2 && i < changed;
        char name[16];
        snprintf(name, sizeof name, "f%02d.bin", i);
        entries.push_back({i % 3 == 0 ? std::string("lib/") + name : name, NoiseBytes(48000, i + (newer ? 100 : 0)),
                           newer ? MakeDos(2024, 6, 1, 9, 0, 0) : MakeDos(2024, 5, 1, 9, 0, 0)});
    }
    if (build == 2)
        entries.push_back({"lib/added.txt", "a file of build 2", MakeDos(2024, 6, 1, 9, 0, 0)});
    return entries;
}

} // namespace

// An installed program whose new build changed one file and added one: the
// update asks the server for the entries file and, in one request, those two
// records and the archive's central directory, and the folder ends as the
// whole archive would leave it. A server that sends one range per answer
// gets a request per range. Each way the road can fail takes the whole
// archive and ends the same: an entries file that misstates a file the
// update does not fetch, or a file that changed while the records came.
TEST_F(Installation, UpdateFetchesOnlyTheChangedRecordsOrElseTheWholeArchive)
{
    enum Road { Ranges, NoRanges, TamperedRecord, TamperedEntries, MostChanged, FreshInstall, OneRangeServer,
                StaleEntries, ChangedMeanwhile };
    for (Road road : {Ranges, NoRanges, TamperedRecord, TamperedEntries, MostChanged, FreshInstall, OneRangeServer,
                      StaleEntries, ChangedMeanwhile}) {
        SCOPED_TRACE("road " + std::to_string(road));
        TempDir caseData;
        state.m_dataFolder = caseData.Narrow();
        state.m_dataFolderW = caseData.Path();
        const std::wstring build1 = caseData / L"b1.zip", build2 = caseData / L"b2.zip";
        ASSERT_TRUE(WriteZip(build1, ProgramBuild(1, 0)));
        ASSERT_TRUE(WriteZip(build2, ProgramBuild(2, road == MostChanged ? 4 : 1)));
        ArchiveEntries map;
        ASSERT_TRUE(DescribeArchive(build2, map));
        ArchiveEntries served = map;
        if (road == StaleEntries) {
            // A hand-made re-zip whose entries file still says f01.bin is
            // build 1's, as the folder has it: only the archive knows better.
            ASSERT_TRUE(WriteZip(build2, ProgramBuild(2, 2)));
            ASSERT_TRUE(DescribeArchive(build2, map));
            ASSERT_EQ(map.archiveSize, served.archiveSize);
            for (size_t i = 0; i < map.entries.size(); ++i)
                ASSERT_EQ(map.entries[i].offset, served.entries[i].offset) << "every record where it was";
        }
        const std::string archive = ReadBytes(build2);
        const std::string entriesFile = FormatEntriesFile(served);

        // What the whole archive makes of build 1's folder.
        const std::string installed = caseData.Narrow() + "apps\\ABC";
        const std::string expected = caseData.Narrow() + "expected";
        const std::string wholeStaging = caseData.Narrow() + "t";
        auto wholeUpdate = [&](const char* zip) {
            return UpdateFolderFromArchiveNow(caseData.Narrow() + zip, wholeStaging, expected);
        };
        fs::create_directories(fs::path(caseData / L"apps"));
        ASSERT_TRUE(wholeUpdate("b1.zip"));
        if (road != FreshInstall) { // copies keep their times
            for (const auto& item : fs::recursive_directory_iterator(fs::path(WideFromUtf8(expected)))) {
                const fs::path copy = WideFromUtf8(installed) + item.path().wstring().substr(expected.size());
                fs::create_directories(copy.parent_path());
                if (item.is_regular_file()) {
                    ASSERT_TRUE(CopyFileW(item.path().c_str(), copy.c_str(), TRUE));
                }
            }
        }
        ASSERT_TRUE(wholeUpdate("b2.zip"));

        LoopbackServer site([&](const HttpRequest& request) {
            if (request.target == "/ABC.zip.entries") {
                HttpResponse response;
                response.body = entriesFile;
                if (road == TamperedEntries)
                    response.body[response.body.size() - 2] ^= 1;
                return response;
            }
            HttpRequest asked = request;
            if (road == NoRanges)
                asked.headers.erase("range");
            auto range = asked.headers.find("range");
            if (road == OneRangeServer && range != asked.headers.end())
                range->second = range->second.substr(0, range->second.find(','));
            HttpResponse response = RangeAnswer(asked, archive, "\"b2\"");
            if (road == TamperedRecord && response.status == 206)
                response.body[response.body.size() / 2] ^= 1;
            return response;
        });
        state.m_catalogue.clear();
        SoftwareRecord& abc = Add("ABC", 0, 2);
        abc.downloadAddress = site.Url("/ABC.zip");
        abc.archiveSha256 = HexOf(Sha256Of(archive));
        abc.archiveSize = static_cast<int64_t>(archive.size());
        abc.entriesSha256 = HexOf(Sha256Of(entriesFile));
        abc.entriesSize = static_cast<int64_t>(entriesFile.size());
        if (road != FreshInstall) {
            abc.installedBuild = 1;
            abc.installedFolder = installed;
        }
        host.bytes.clear();
        host.statuses.clear();
        host.notices.clear();
        // A file the update does not fetch changes (same time, same size)
        // once the records are chosen.
        const std::wstring untouched = WideFromUtf8(installed) + L"\\lib\\f03.bin";
        bool changed = false;
        host.onStatus = [&] {
            if (road != ChangedMeanwhile || changed || host.statuses.back().compare(0, 10, "Installing") != 0)
                return;
            changed = true;
            const FILETIME time = WriteTimeOf(untouched);
            std::string bytes = ReadBytes(untouched);
            bytes[100] ^= 1;
            WriteBytes(untouched, bytes);
            HANDLE file = CreateFileW(untouched.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            SetFileTime(file, nullptr, nullptr, &time);
            CloseHandle(file);
        };
        InstallOrUpdate(state, "ABC", host);
        host.onStatus = nullptr;
        EXPECT_TRUE(host.errors.empty()) << (host.errors.empty() ? "" : Utf8FromWide(host.errors[0]));
        EXPECT_TRUE(host.notices.empty()) << (host.notices.empty() ? "" : Utf8FromWide(host.notices[0]));
        EXPECT_EQ("2", state.m_settings.GetValue("ABC", "VERSION"));
        EXPECT_EQ(FolderContent(WideFromUtf8(expected)), FolderContent(WideFromUtf8(installed)));
        std::vector<std::string> log; // what the server was asked for
        for (const HttpRequest& request : site.Requests()) {
            auto range = request.headers.find("range");
            log.push_back(request.target + (range == request.headers.end() ? "" : " " + range->second));
        }
        // The first record, and the added one with the central directory
        // right after it, up to the archive's end.
        const std::string first = std::to_string(map.entries[0].offset) + "-" +
                                  std::to_string(map.entries[0].offset + map.entries[0].length - 1);
        const std::string last = std::to_string(map.entries[6].offset) + "-" + std::to_string(archive.size() - 1);
        const uint64_t fetched = entriesFile.size() + map.entries[0].length + archive.size() - map.entries[6].offset;
        if (road == Ranges || road == OneRangeServer) {
            if (road == Ranges)
                EXPECT_EQ((std::vector<std::string>{"/ABC.zip.entries", "/ABC.zip bytes=" + first + "," + last}), log);
            else
                EXPECT_EQ((std::vector<std::string>{"/ABC.zip.entries", "/ABC.zip bytes=" + first + "," + last,
                                                    "/ABC.zip bytes=" + first, "/ABC.zip bytes=" + last}),
                          log);
            // Besides the bytes asked for, a few hundred of part headers (and
            // the one range a server sends instead of parts, left unread).
            EXPECT_LE(fetched, site.BodyBytesSent());
            EXPECT_GE(fetched + 400 + (road == OneRangeServer ? map.entries[0].length : 0), site.BodyBytesSent());
            ASSERT_FALSE(host.bytes.empty());
            EXPECT_EQ(fetched, host.bytes.back().first) << "the bar counts the bytes fetched";
            for (size_t i = 1; i < host.bytes.size(); ++i)
                EXPECT_LE(host.bytes[i - 1].first * host.bytes[i].second,
                          host.bytes[i].first * host.bytes[i - 1].second)
                    << "the bar never runs back";
            const std::string kilobytes = std::to_string((fetched + 1023) / 1024) + " KB";
            const std::string total = " of " + kilobytes + " (archive " +
                                      std::to_string((archive.size() + 1023) / 1024) + " KB)";
            EXPECT_EQ("Download application... changed files, " + kilobytes + total,
                      host.statuses[host.statuses.size() - 3]);
            // Every status that names the bytes to fetch names all of them.
            for (const std::string& status : host.statuses)
                if (status.find(" of ") != std::string::npos)
                    EXPECT_EQ(total, status.substr(status.find(" of "))) << status;
        } else if (road == FreshInstall) {
            EXPECT_EQ(std::vector<std::string>{"/ABC.zip"}, log);
        } else {
            ASSERT_FALSE(log.empty());
            EXPECT_EQ("/ABC.zip", log.back()) << "the whole archive, asked for without a range";
            // A record is checked once every range has come; a folder that
            // is not what the entries file says, once the records are copied.
            const size_t asked = road == TamperedRecord || road == StaleEntries || road == ChangedMeanwhile ? 3u
                                 : road == NoRanges                                                    ? 3u
                                                                                                       : 2u;
            EXPECT_EQ(asked, log.size());
            if (road == ChangedMeanwhile) {
                EXPECT_TRUE(changed);
                ASSERT_LE(2u, host.conclusions.size());
                EXPECT_EQ((std::vector<bool>{false, true}),
                          std::vector<bool>(host.conclusions.end() - 2, host.conclusions.end()))
                    << "the first step is put back";
            }
        }
    }
}
