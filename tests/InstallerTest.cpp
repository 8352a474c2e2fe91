// Install/update, repair, a step left pending and uninstall against a
// loopback server, the real trelko_util_r.dll and real files; the dependency
// list and the rule of a plain file name.
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
        if (pending.cleaned) {
            EXPECT_TRUE(WaitUntil(10000, [&] {
                fs::remove_all(WideFromUtf8(staging), error);
                return !error;
            })) << error.message();
        }
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
