#include "store/Text.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/FolderSync.h"
#include "trelko_util/Unzipper.h"
#include "trelko_util/InstallJournal.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace testing_support;

namespace {

// The real xcopy, counted.
class CountingCopier : public FileCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        copied.push_back(file.substr(file.find_last_of(L'\\') + 1));
        return xcopy.CopyInto(file, folder, workingFolder);
    }
    XcopyCopier xcopy;
    std::vector<std::wstring> copied;
};

// Copies with xcopy, except the file named cut: that one is copied by a
// process that writes half of it and is then ended from outside by its id,
// with the exit code given (as "End task", a crash or an antivirus would).
class CutCopier : public CountingCopier {
public:
    CutCopier(std::wstring cut, DWORD exitCode) : m_cut(std::move(cut)), m_exitCode(exitCode) {}
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        const std::wstring name = file.substr(file.find_last_of(L'\\') + 1);
        if (name != m_cut)
            return CountingCopier::CopyInto(file, folder, workingFolder);
        const std::wstring event = UniqueName(L"cut-copy-");
        HANDLE written = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
        const std::wstring probe = BinaryFolder() + L"binding_probe.exe";
        std::wstring commandLine =
            L"\"" + probe + L"\" --cut-copy \"" + file + L"\" \"" + folder + L"\\" + name + L"\" " + event;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!written || !CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process))
            return false;
        HANDLE either[2] = {written, process.hProcess};
        WaitForMultipleObjects(2, either, FALSE, 60000);
        TerminateProcess(process.hProcess, m_exitCode);
        WaitForSingleObject(process.hProcess, 60000);
        DWORD exitCode = 99;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        CloseHandle(written);
        ++cutCopies;
        return exitCode == 0; // all a caller of a copying process learns
    }
    int cutCopies = 0;

private:
    std::wstring m_cut;
    DWORD m_exitCode;
};

// Sets the stop flag once it has copied stopAfter files.
class StoppingCopier : public CountingCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        const bool ok = CountingCopier::CopyInto(file, folder, workingFolder);
        if (static_cast<int>(copied.size()) == stopAfter)
            stop = 1;
        return ok;
    }
    int stopAfter = 2;
    volatile long stop = 0;
};

// Ends the step the way the end of the process would: mid-way, with no
// chance to clean up.
class DyingCopier : public CountingCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        if (static_cast<int>(copied.size()) == dieAt) {
            // Half a file written, as a copy cut by the machine going off leaves it.
            WriteBytes(folder + file.substr(file.find_last_of(L'\\')), "cut");
            throw std::runtime_error("process ended");
        }
        return CountingCopier::CopyInto(file, folder, workingFolder);
    }
    int dieAt = 2;
};

// Every file below folder with its bytes, by relative path; folders end with "\".
std::map<std::wstring, std::string> TreeOf(const std::wstring& folder)
{
    std::map<std::wstring, std::string> tree;
    for (auto it = std::filesystem::recursive_directory_iterator(folder);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        std::wstring relative = it->path().wstring().substr(folder.size());
        if (it->is_directory())
            tree[relative + L"\\"] = "";
        else
            tree[relative] = ReadBytes(it->path().wstring());
    }
    return tree;
}

class FolderSync : public ::testing::Test {
protected:
    // The destination itself may be missing; its parent exists, as apps\ does for the launcher.
    void SetUp() override { std::filesystem::create_directories(dir / L"apps"); }

    std::wstring Archive() const { return dir / L"apps_cache\\ABC.zip"; }
    std::wstring Staging() const { return dir / L"tmp"; }
    std::wstring Destination() const { return dir / L"apps\\ABC"; }
    std::wstring Installed(const std::wstring& name) const { return dir / (L"apps\\ABC\\" + name); }

    void MakeArchive(const std::vector<ZipEntry>& entries)
    {
        std::filesystem::create_directories(dir / L"apps_cache");
        ASSERT_TRUE(WriteZip(dir / L"apps_cache\\ABC.zip", entries));
    }
    bool Run(bool compareContent = true)
    {
        copier.copied.clear();
        return UpdateFolderFromArchive(Archive(), Staging(), Destination(), compareContent, copier);
    }

    SyncStep Step(const std::vector<std::wstring>& archives) const
    {
        SyncStep step;
        step.archives = archives;
        step.staging = Staging();
        step.destination = Destination();
        return step;
    }
    bool Pending() const
    {
        std::string tag;
        return PendingStep(Staging(), tag);
    }
    // Build 1 installed: a file to be replaced, one to stay, one in a folder.
    std::map<std::wstring, std::string> InstallFirstBuild()
    {
        MakeArchive({{"a.txt", "old a", stamp}, {"big.bin", std::string(300000, 'o'), stamp},
                     {"keep.txt", "kept", stamp}, {"sub/s.txt", "old s", stamp}});
        EXPECT_TRUE(Run());
        return TreeOf(Destination());
    }
    // Build 2: two files replaced, two new ones (one in a new folder).
    void MakeSecondBuild()
    {
        DosStamp later = MakeDos(2024, 3, 3, 4, 5, 6);
        std::string big(400000, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>(i * 7 + i / 1000);
        MakeArchive({{"a.txt", "new a", later}, {"big.bin", big, later}, {"keep.txt", "kept", stamp},
                     {"sub/s.txt", "old s", stamp}, {"c.txt", "new c", later}, {"new/deep/n.txt", "new n", later}});
    }

    TempDir dir;
    CountingCopier copier;
    DosStamp stamp = MakeDos(2024, 2, 3, 4, 5, 6);
};

} // namespace

TEST(CopyDecision, MissingOrNewerCopiesOlderSkipsEqualAsksTheFingerprint)
{
    EXPECT_EQ(CopyDecision::Copy, DecideCopy(false, 0, false, false));
    EXPECT_EQ(CopyDecision::Copy, DecideCopy(false, -100, true, false));
    EXPECT_EQ(CopyDecision::Copy, DecideCopy(true, 1, false, false));
    EXPECT_EQ(CopyDecision::Skip, DecideCopy(true, -1, true, true));
    EXPECT_EQ(CopyDecision::Skip, DecideCopy(true, 0, true, false));
    EXPECT_EQ(CopyDecision::Copy, DecideCopy(true, 0, true, true));
    EXPECT_EQ(CopyDecision::Skip, DecideCopy(true, 0, false, true));
}

TEST(CopyDecision, ExtractionFolderIsStagingPlusArchiveBaseName)
{
    EXPECT_EQ(L"D:\\t\\ABC", ExtractionFolderFor(L"C:\\x\\apps_cache\\ABC.zip", L"D:\\t\\"));
    EXPECT_EQ(L"D:\\t\\ABC", ExtractionFolderFor(L"C:\\x\\apps_cache\\ABC.zip", L"D:\\t"));
    EXPECT_EQ(L"D:\\t\\my.pkg", ExtractionFolderFor(L"C:/x/my.pkg.zip", L"D:\\t"));
}

TEST_F(FolderSync, FreshInstallCreatesTheDestinationAndCopiesEveryFile)
{
    MakeArchive({{"prog.exe", "MZ program", stamp}, {"data/cfg.ini", "k=v", stamp}, {".git/config", "x", stamp},
                 {".env", "secret", stamp}});
    ASSERT_TRUE(Run());
    EXPECT_EQ(2u, copier.copied.size());
    EXPECT_EQ("MZ program", ReadBytes(Installed(L"prog.exe")));
    EXPECT_EQ("k=v", ReadBytes(Installed(L"data\\cfg.ini")));
    EXPECT_FALSE(FileExists(Installed(L".env")));
    EXPECT_FALSE(FileExists(Installed(L".git")));
    FILETIME expected = FileTimeOf(stamp);
    FILETIME actual = WriteTimeOf(Installed(L"data\\cfg.ini"));
    EXPECT_EQ(0, CompareFileTime(&expected, &actual)) << "xcopy keeps the archive's time";
}

TEST_F(FolderSync, RerunOnAnUpToDateFolderCopiesNothingAndChangesNothing)
{
    MakeArchive({{"prog.exe", "MZ program", stamp}, {"sub/lib.dll", "library", stamp}});
    ASSERT_TRUE(Run());
    FILETIME before = WriteTimeOf(Installed(L"sub\\lib.dll"));
    ASSERT_TRUE(Run());
    EXPECT_TRUE(copier.copied.empty());
    FILETIME after = WriteTimeOf(Installed(L"sub\\lib.dll"));
    EXPECT_EQ(0, CompareFileTime(&before, &after));
    EXPECT_EQ("library", ReadBytes(Installed(L"sub\\lib.dll")));
}

TEST_F(FolderSync, NewerInstalledFileIsKeptAndFilesMissingFromTheArchiveStay)
{
    MakeArchive({{"settings.ini", "from archive", stamp}, {"prog.exe", "v1", stamp}});
    ASSERT_TRUE(Run());
    WriteBytes(Installed(L"settings.ini"), "edited by the user");
    SetWriteTime(Installed(L"settings.ini"), Shifted(FileTimeOf(stamp), 3600));
    WriteBytes(Installed(L"user.dat"), "user data");

    MakeArchive({{"settings.ini", "from archive", stamp}, {"prog.exe", "v2", MakeDos(2024, 2, 4, 4, 5, 6)}});
    ASSERT_TRUE(Run());
    EXPECT_EQ(std::vector<std::wstring>{L"prog.exe"}, copier.copied);
    EXPECT_EQ("v2", ReadBytes(Installed(L"prog.exe")));
    EXPECT_EQ("edited by the user", ReadBytes(Installed(L"settings.ini")));
    EXPECT_EQ("user data", ReadBytes(Installed(L"user.dat")));
}

TEST_F(FolderSync, EqualTimeWithOtherContentIsCopiedOnlyWhenComparingContent)
{
    MakeArchive({{"a.txt", "archive content", stamp}});
    ASSERT_TRUE(Run());
    WriteBytes(Installed(L"a.txt"), "local content!!");
    SetWriteTime(Installed(L"a.txt"), FileTimeOf(stamp));

    ASSERT_TRUE(Run(false));
    EXPECT_TRUE(copier.copied.empty());
    EXPECT_EQ("local content!!", ReadBytes(Installed(L"a.txt")));

    ASSERT_TRUE(Run(true));
    EXPECT_EQ(1u, copier.copied.size());
    EXPECT_EQ("archive content", ReadBytes(Installed(L"a.txt")));
}

// The launcher decides from an entry's central record, before anything is
// extracted, what the library will copy: both must agree, in summer and in
// winter time, for every branch of the rule.
TEST_F(FolderSync, DecisionFromTheCentralRecordAgreesWithTheCopiesMade)
{
    const DosStamp summer = MakeDos(2024, 7, 14, 2, 30, 10), winter = MakeDos(2024, 1, 9, 23, 59, 58);
    MakeArchive({{"same.txt", "same", summer}, {"older.txt", "kept", winter}, {"newer.txt", "v1", winter},
                  {"other.txt", "content A", summer}, {"sub/equal.bin", "B", winter}});
    ASSERT_TRUE(Run());
    WriteBytes(Installed(L"sub\\equal.bin"), "b"); // same size, same time, another CRC
    SetWriteTime(Installed(L"sub\\equal.bin"), FileTimeOf(winter));
    SetWriteTime(Installed(L"older.txt"), Shifted(FileTimeOf(winter), 2));

    MakeArchive({{"same.txt", "same", summer}, {"older.txt", "old", winter}, {"newer.txt", "v2", summer},
                 {"other.txt", "content B", summer}, {"sub/equal.bin", "B", winter}, {"missing.txt", "new", winter}});
    std::vector<EntryRecord> records;
    ASSERT_TRUE(ListEntryRecords(Archive(), records));
    std::vector<std::wstring> decided;
    for (const EntryRecord& record : records) {
        std::wstring name = WideFromUtf8(record.name);
        std::replace(name.begin(), name.end(), L'/', L'\\');
        if (DecideEntryCopy(record.dosDate, record.crc, record.uncompressedSize, Installed(name), true) ==
            CopyDecision::Copy)
            decided.push_back(name.substr(name.find_last_of(L'\\') + 1));
    }
    ASSERT_TRUE(Run());
    std::sort(decided.begin(), decided.end());
    std::sort(copier.copied.begin(), copier.copied.end());
    EXPECT_EQ(copier.copied, decided);
    EXPECT_EQ((std::vector<std::wstring>{L"equal.bin", L"missing.txt", L"newer.txt", L"other.txt"}), decided);
}

TEST_F(FolderSync, TrailingBackslashOnTheDestinationBehavesTheSame)
{
    MakeArchive({{"f.txt", "x", stamp}});
    ASSERT_TRUE(UpdateFolderFromArchive(Archive(), Staging() + L"\\", Destination() + L"\\", true, copier));
    EXPECT_EQ("x", ReadBytes(Installed(L"f.txt")));
    ASSERT_TRUE(Run());
    EXPECT_TRUE(copier.copied.empty());
}

TEST_F(FolderSync, ReadOnlyAndHiddenTargetsAreOverwritten)
{
    MakeArchive({{"ro.txt", "old", stamp}, {"hid.txt", "old", stamp}});
    ASSERT_TRUE(Run());
    SetFileAttributesW(Installed(L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(Installed(L"hid.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    DosStamp later = MakeDos(2025, 1, 1, 0, 0, 0);
    MakeArchive({{"ro.txt", "new", later}, {"hid.txt", "new", later}});
    ASSERT_TRUE(Run());
    EXPECT_EQ(2u, copier.copied.size());
    EXPECT_EQ("new", ReadBytes(Installed(L"ro.txt")));
    EXPECT_EQ("new", ReadBytes(Installed(L"hid.txt")));
}

TEST_F(FolderSync, TargetHeldOpenWithoutSharingFailsTheCall)
{
    MakeArchive({{"busy.exe", "old", stamp}});
    ASSERT_TRUE(Run());
    MakeArchive({{"busy.exe", "new", MakeDos(2025, 1, 1, 0, 0, 0)}});
    HANDLE held = CreateFileW(Installed(L"busy.exe").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    bool result = Run();
    CloseHandle(held);
    EXPECT_FALSE(result);
    EXPECT_EQ("old", ReadBytes(Installed(L"busy.exe")));
}

TEST_F(FolderSync, UnusableArchivesFailWithoutTouchingTheDestination)
{
    std::filesystem::create_directories(dir / L"apps\\ABC");
    WriteBytes(Installed(L"keep.txt"), "installed");
    std::filesystem::create_directories(dir / L"apps_cache");

    ASSERT_TRUE(WriteZip(dir / L"apps_cache\\ABC.zip", {}));
    EXPECT_FALSE(Run()) << "empty archive";
    ASSERT_TRUE(WriteZip(dir / L"apps_cache\\ABC.zip", {{"keep.txt", std::string(3000, 'n'), stamp}}));
    std::string whole = ReadBytes(dir / L"apps_cache\\ABC.zip");
    WriteBytes(dir / L"apps_cache\\ABC.zip", whole.substr(0, whole.size() - 30));
    EXPECT_FALSE(Run()) << "truncated archive";
    WriteBytes(dir / L"apps_cache\\ABC.zip", "<html>404 Not Found</html>");
    EXPECT_FALSE(Run()) << "error page instead of an archive";
    std::filesystem::remove(dir / L"apps_cache\\ABC.zip");
    EXPECT_FALSE(Run()) << "missing archive";

    EXPECT_TRUE(copier.copied.empty());
    EXPECT_EQ("installed", ReadBytes(Installed(L"keep.txt")));
}

TEST_F(FolderSync, EscapingEntriesFailAndNothingLandsOutsideStaging)
{
    for (const char* evil : {"..\\..\\evil.txt", "C:\\evil.txt", "/evil.txt"}) {
        SCOPED_TRACE(evil);
        MakeArchive({{"good.txt", "g", stamp}, {evil, "evil", stamp}});
        EXPECT_FALSE(Run());
        EXPECT_TRUE(copier.copied.empty());
        EXPECT_FALSE(FileExists(dir / L"evil.txt"));
        EXPECT_FALSE(FileExists(dir / L"tmp\\evil.txt"));
        EXPECT_FALSE(FileExists(L"C:\\evil.txt"));
        EXPECT_FALSE(FileExists(Installed(L"good.txt")));
    }
}

TEST_F(FolderSync, DeviceNamesTrailingDotsAndOverlongNamesFailBeforeAnythingIsWritten)
{
    std::filesystem::create_directories(dir / L"tmp\\OLD");
    WriteBytes(dir / L"tmp\\OLD\\left.txt", "from an earlier run");
    const std::string overlong = "dir/" + std::string(300, 'n') + ".txt";
    for (const std::string& evil : {std::string("sub/AUX"), std::string("COM1.log"), std::string("NUL.txt"),
                                    std::string("prn"), std::string("a./b.txt"), std::string("name "), overlong}) {
        SCOPED_TRACE(evil.substr(0, 40));
        MakeArchive({{"good.txt", "g", stamp}, {evil, "evil", stamp}});
        EXPECT_FALSE(Run());
        EXPECT_TRUE(copier.copied.empty());
        EXPECT_FALSE(FileExists(dir / L"apps\\ABC"));
        EXPECT_EQ("from an earlier run", ReadBytes(dir / L"tmp\\OLD\\left.txt")) << "staging untouched";
    }
}

TEST_F(FolderSync, EmptyOrRootFoldersAreRefused)
{
    MakeArchive({{"f.txt", "x", stamp}});
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), L"", Destination(), true, copier));
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), Staging(), L"", true, copier));
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), L"C:\\", Destination(), true, copier));
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), L"\\", Destination(), true, copier));
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), Staging(), L"C:\\", true, copier));
    EXPECT_FALSE(FileExists(dir / L"apps\\ABC"));
    EXPECT_TRUE(copier.copied.empty());
}

// A link in staging (a junction on Windows, a symbolic link under Wine) is
// removed, never followed: what it points to stays as it is. (Under Wine such
// a link cannot be removed at all, and the call fails instead.)
TEST_F(FolderSync, LinkInStagingIsRemovedOrRefusedWithoutTouchingItsTarget)
{
    std::filesystem::create_directories(dir / L"outside\\deep");
    WriteBytes(dir / L"outside\\deep\\precious.txt", "keep me");
    SetFileAttributesW((dir / L"outside\\deep\\precious.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    std::filesystem::create_directories(dir / L"tmp");
    ASSERT_TRUE(MakeFolderLink(dir / L"tmp\\link", dir / L"outside"));
    ASSERT_TRUE(FileExists(dir / L"tmp\\link\\deep\\precious.txt")) << "the link leads outside";
    MakeArchive({{"f.txt", "x", stamp}});
    const bool updated = Run();
    EXPECT_EQ("keep me", ReadBytes(dir / L"outside\\deep\\precious.txt"));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY),
              GetFileAttributesW((dir / L"outside\\deep\\precious.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(updated, !FileExists(dir / L"tmp\\link")) << "updated only once the link is gone";
    EXPECT_EQ(updated, FileExists(Installed(L"f.txt")));
}

TEST_F(FolderSync, StagingFilesFromAnEarlierRunAreRemovedFirst)
{
    std::filesystem::create_directories(dir / L"tmp\\OLD\\sub");
    WriteBytes(dir / L"tmp\\OLD\\sub\\stale.txt", "stale");
    WriteBytes(dir / L"tmp\\loose.txt", "stale");
    WriteBytes(dir / L"tmp\\OLD\\marked.txt", "stale");
    SetFileAttributesW((dir / L"tmp\\OLD\\marked.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    MakeArchive({{"f.txt", "x", stamp}});
    ASSERT_TRUE(Run());
    EXPECT_FALSE(FileExists(dir / L"tmp\\OLD\\sub\\stale.txt"));
    EXPECT_FALSE(FileExists(dir / L"tmp\\loose.txt"));
    EXPECT_FALSE(FileExists(dir / L"tmp\\OLD\\marked.txt")) << "a read-only leftover goes too";
    EXPECT_TRUE(FileExists(dir / L"tmp\\OLD\\sub")) << "folders stay";
    EXPECT_EQ("x", ReadBytes(dir / L"tmp\\ABC\\f.txt")) << "the extracted tree stays in staging";
}

TEST_F(FolderSync, MissingParentOfTheDestinationFails)
{
    MakeArchive({{"f.txt", "x", stamp}});
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), Staging(), dir / L"no\\such\\dest", true, copier));
    EXPECT_FALSE(UpdateFolderFromArchive(Archive(), dir / L"no\\staging", Destination(), true, copier));
}

// A copying process ended from outside half-way may report success (Wine gives
// exit code 0) or failure: either way the copy is checked against its entry,
// the step fails and the folder holds the previous build, file by file. The
// next run leaves every file exactly as published.
TEST_F(FolderSync, CopyCutByAnEndedProcessFailsTheStepAndPutsThePreviousBuildBack)
{
    const std::map<std::wstring, std::string> first = InstallFirstBuild();
    MakeSecondBuild();
    for (DWORD exitCode : {DWORD(0), DWORD(1)}) {
        SCOPED_TRACE(exitCode);
        CutCopier cutting(L"big.bin", exitCode);
        EXPECT_FALSE(UpdateFolderFromArchive(Archive(), Staging(), Destination(), true, cutting));
        EXPECT_EQ(1, cutting.cutCopies);
        EXPECT_EQ(first, TreeOf(Destination()));
        EXPECT_FALSE(Pending());
    }
    ASSERT_TRUE(Run());
    EXPECT_EQ(TreeOf(dir / L"tmp\\ABC"), TreeOf(Destination())) << "the second build, as published";
    EXPECT_EQ(4u, copier.copied.size());
}

// Closing the window stops the step between two files: what was copied goes,
// what was replaced comes back, folders it made are removed.
TEST_F(FolderSync, StopRequestBetweenFilesPutsTheFolderBackAtOnce)
{
    const std::map<std::wstring, std::string> first = InstallFirstBuild();
    MakeSecondBuild();
    StoppingCopier stopping;
    SyncStep step = Step({Archive()});
    step.stop = &stopping.stop;
    EXPECT_EQ(SyncResult::Stopped, SynchroniseStep(step, stopping));
    EXPECT_EQ(2u, stopping.copied.size()) << "stopped at the next file";
    EXPECT_EQ(first, TreeOf(Destination()));
    EXPECT_FALSE(Pending());
}

// The end of the process (a kill, a power cut) leaves the journal: whoever
// comes next puts the folder back before anything else, and a step left
// pending for its caller to record is concluded either way.
TEST_F(FolderSync, StepEndedWithTheProcessIsPutBackByTheNextCallOrConcluded)
{
    const std::map<std::wstring, std::string> first = InstallFirstBuild();
    MakeSecondBuild();
    DyingCopier dying;
    SyncStep step = Step({Archive()});
    step.tag = "ABC=2";
    EXPECT_THROW(SynchroniseStep(step, dying), std::runtime_error);
    std::string tag;
    ASSERT_TRUE(PendingStep(Staging(), tag));
    EXPECT_EQ("ABC=2", tag);
    EXPECT_NE(first, TreeOf(Destination())) << "a mix, until someone looks";
    ASSERT_TRUE(ConcludeStep(Staging(), false));
    EXPECT_EQ(first, TreeOf(Destination()));
    EXPECT_FALSE(Pending());

    // The same end, found by the next call for that staging folder.
    EXPECT_THROW(SynchroniseStep(step, dying), std::runtime_error);
    MakeArchive({{"a.txt", "old a", stamp}, {"big.bin", std::string(300000, 'o'), stamp},
                 {"keep.txt", "kept", stamp}, {"sub/s.txt", "old s", stamp}});
    ASSERT_TRUE(Run());
    EXPECT_TRUE(copier.copied.empty()) << "back to build 1 before comparing";
    EXPECT_EQ(first, TreeOf(Destination()));

    // A step that succeeded waits for its caller: put back, or made to stand.
    MakeSecondBuild();
    step.leavePending = true;
    ASSERT_EQ(SyncResult::Done, SynchroniseStep(step, copier));
    ASSERT_TRUE(Pending());
    ASSERT_TRUE(ConcludeStep(Staging(), false));
    EXPECT_EQ(first, TreeOf(Destination()));
    ASSERT_EQ(SyncResult::Done, SynchroniseStep(step, copier));
    ASSERT_TRUE(ConcludeStep(Staging(), true));
    EXPECT_FALSE(Pending());
    EXPECT_EQ(TreeOf(dir / L"tmp\\ABC"), TreeOf(Destination()));
    EXPECT_FALSE(FileExists(UndoFolderFor(Staging()) + L"1")) << "old copies go with the journal";
}

// A package and a program into one folder: a held file of the program stops
// the package's copies too.
TEST_F(FolderSync, SeveralArchivesAreOneStepAndAHeldFileStopsThemAll)
{
    std::filesystem::create_directories(dir / L"deps");
    const std::wstring package = dir / L"deps\\LIB.zip";
    ASSERT_TRUE(WriteZip(package, {{"lib.dll", "old lib", stamp}}));
    MakeArchive({{"prog.exe", "old prog", stamp}});
    int failedOnSuccess = 5;
    ASSERT_EQ(SyncResult::Done, SynchroniseStep(Step({package, Archive()}), copier, &failedOnSuccess));
    EXPECT_EQ(-1, failedOnSuccess) << "no archive refused";
    EXPECT_EQ("old lib", ReadBytes(Installed(L"lib.dll")));
    EXPECT_FALSE(Pending());

    DosStamp later = MakeDos(2025, 1, 1, 0, 0, 0);
    ASSERT_TRUE(WriteZip(package, {{"lib.dll", "new lib", later}}));
    MakeArchive({{"prog.exe", "new prog", later}});
    HANDLE held = CreateFileW(Installed(L"prog.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    copier.copied.clear();
    const SyncResult result = SynchroniseStep(Step({package, Archive()}), copier);
    CloseHandle(held);
    EXPECT_EQ(SyncResult::HeldOpen, result);
    EXPECT_TRUE(copier.copied.empty());
    EXPECT_EQ("old lib", ReadBytes(Installed(L"lib.dll")));

    int failed = 5;
    WriteBytes(package, "no archive");
    EXPECT_EQ(SyncResult::ArchiveRefused, SynchroniseStep(Step({Archive(), package}), copier, &failed));
    EXPECT_EQ(1, failed) << "which archive the library refused";
}

// A file the journal shows was being copied when its old copy was lost is
// copied again although its cut copy is newer; a file the user edited stays.
// Repairing copies every file whose size or CRC differs, whatever its time.
TEST_F(FolderSync, CutFileTheJournalKnowsIsCopiedAgainAndRepairPutsEveryFileRight)
{
    InstallFirstBuild();
    {
        InstallJournal journal(Staging());
        ASSERT_TRUE(journal.Begin(Destination(), "ABC=1", PathSet()));
        const int number = journal.NoteReplaced(L"big.bin");
        ASSERT_TRUE(journal.WriteNoted());
        ASSERT_TRUE(journal.KeepOldCopy(L"big.bin", number));
    }
    WriteBytes(Installed(L"big.bin"), std::string(1000, 'o')); // cut, and dated now
    DeleteFileW((UndoFolderFor(Staging()) + L"1").c_str());     // the old copy lost
    WriteBytes(Installed(L"a.txt"), "edited by the user");
    WriteBytes(Installed(L"keep.txt"), "cut");
    ASSERT_TRUE(Run());
    EXPECT_EQ(std::vector<std::wstring>{L"big.bin"}, copier.copied);
    EXPECT_EQ(std::string(300000, 'o'), ReadBytes(Installed(L"big.bin")));
    EXPECT_EQ("edited by the user", ReadBytes(Installed(L"a.txt")));
    EXPECT_FALSE(Pending());

    SyncStep repair = Step({Archive()});
    repair.repair = true;
    copier.copied.clear();
    ASSERT_EQ(SyncResult::Done, SynchroniseStep(repair, copier));
    EXPECT_EQ(2u, copier.copied.size()) << "only what differs";
    EXPECT_EQ("old a", ReadBytes(Installed(L"a.txt")));
    EXPECT_EQ("kept", ReadBytes(Installed(L"keep.txt")));
}

TEST(CopyDecision, CutCopiesAndRepairsAreSeparateStepsOverSizesAndCrcs)
{
    EXPECT_TRUE(CutCopyNeedsRedo(true, 10, 20));
    EXPECT_FALSE(CutCopyNeedsRedo(true, 20, 20));
    EXPECT_FALSE(CutCopyNeedsRedo(false, 10, 20)) << "a file the user edited stays theirs";
    EXPECT_TRUE(RepairNeedsCopy(false, 0, 0, 5, 7));
    EXPECT_TRUE(RepairNeedsCopy(true, 4, 7, 5, 7));
    EXPECT_TRUE(RepairNeedsCopy(true, 5, 8, 5, 7));
    EXPECT_FALSE(RepairNeedsCopy(true, 5, 7, 5, 7));
}

// A journal that cannot be read whole (empty, cut in a line, a line garbled)
// or that leaves an old copy unnamed keeps everything: nothing is put back or
// deleted, and the step stays pending, saying so; mended, it is put back.
TEST_F(FolderSync, DamagedJournalKeepsEveryOldCopyAndTheStepStaysPending)
{
    const std::map<std::wstring, std::string> first = InstallFirstBuild();
    MakeSecondBuild();
    DyingCopier dying;
    EXPECT_THROW(SynchroniseStep(Step({Archive()}), dying), std::runtime_error);
    const std::wstring undo = UndoFolderFor(Staging());
    const std::string journal = ReadBytes(undo + L"journal.txt");
    std::map<std::wstring, std::string> aside = TreeOf(undo);
    aside.erase(L"journal.txt");
    ASSERT_EQ(2u, aside.size()) << "the old copies of a.txt and big.bin";
    const std::map<std::wstring, std::string> mixed = TreeOf(Destination());
    const size_t firstReplaced = journal.find("\nR ");
    ASSERT_NE(std::string::npos, firstReplaced);
    for (const std::string& damaged : {std::string(), journal.substr(0, firstReplaced + 4), journal + "R 3 x\n",
                                       journal + "Q what is this\n"}) {
        SCOPED_TRACE(damaged);
        WriteBytes(undo + L"journal.txt", damaged);
        EXPECT_EQ(SyncResult::JournalDamaged, SynchroniseStep(Step({Archive()}), copier));
        EXPECT_FALSE(ConcludeStep(Staging(), false));
        EXPECT_FALSE(ConcludeStep(Staging(), true));
        EXPECT_TRUE(Pending());
        std::map<std::wstring, std::string> kept = TreeOf(undo);
        kept.erase(L"journal.txt");
        EXPECT_EQ(aside, kept) << "no old copy deleted";
        EXPECT_EQ(mixed, TreeOf(Destination()));
    }
    WriteBytes(undo + L"journal.txt", journal);
    ASSERT_TRUE(ConcludeStep(Staging(), false));
    EXPECT_EQ(first, TreeOf(Destination()));
}

// A file that becomes a folder, and a folder that becomes a file, each
// install and are put back by a stop; a folder that holds files the new
// build lacks (perhaps the user's) is refused and stays as it is.
TEST_F(FolderSync, FileThatBecomesAFolderAndBackInstallsAndIsPutBack)
{
    MakeArchive({{"x", "x is a file", stamp}, {"keep.txt", "kept", stamp}});
    ASSERT_TRUE(Run());
    const std::map<std::wstring, std::string> first = TreeOf(Destination());
    const DosStamp later = MakeDos(2024, 3, 3, 4, 5, 6);
    MakeArchive({{"x/y.txt", "x is a folder", later}, {"x/z/w.txt", "deeper", later}, {"keep.txt", "kept", stamp},
                 {"zz.txt", "new", later}});
    StoppingCopier stopping;
    SyncStep step = Step({Archive()});
    step.stop = &stopping.stop;
    EXPECT_EQ(SyncResult::Stopped, SynchroniseStep(step, stopping));
    EXPECT_EQ(first, TreeOf(Destination()));
    ASSERT_TRUE(Run());
    EXPECT_EQ("x is a folder", ReadBytes(Installed(L"x\\y.txt")));
    EXPECT_EQ("deeper", ReadBytes(Installed(L"x\\z\\w.txt")));
    EXPECT_FALSE(Pending());

    MakeArchive({{"x", "x is a file again", MakeDos(2024, 4, 3, 4, 5, 6)}, {"keep.txt", "kept", stamp}});
    const std::map<std::wstring, std::string> second = TreeOf(Destination());
    EXPECT_EQ(SyncResult::FolderHoldsFiles, SynchroniseStep(Step({Archive()}), copier));
    EXPECT_EQ(second, TreeOf(Destination()));
    DeleteFileW(Installed(L"x\\y.txt").c_str());
    DeleteFileW(Installed(L"x\\z\\w.txt").c_str());
    const std::map<std::wstring, std::string> emptied = TreeOf(Destination());
    StoppingCopier once;
    once.stopAfter = 1;
    step.stop = &once.stop;
    EXPECT_EQ(SyncResult::Stopped, SynchroniseStep(step, once));
    EXPECT_EQ(emptied, TreeOf(Destination())) << "the empty folders come back";
    ASSERT_TRUE(Run());
    EXPECT_EQ("x is a file again", ReadBytes(Installed(L"x")));
}

// A copy that never ends (under Wine, xcopy to a target of 260 characters or
// more hangs for good) is ended by its handle at its time limit or at the stop
// request; a step refuses such a target before it starts.
TEST_F(FolderSync, CopyThatNeverEndsIsEndedAndTargetsTooLongAreRefusedFirst)
{
    EXPECT_EQ(kCopyBaseLimitMs, CopyTimeLimitMs(0, kCopyBaseLimitMs));
    EXPECT_EQ(kCopyBaseLimitMs + 100 * 1024, CopyTimeLimitMs(100ULL << 20, kCopyBaseLimitMs)) << "1 MB/s";
    EXPECT_EQ(0xFFFFFFFEUL, CopyTimeLimitMs(~0ULL, kCopyBaseLimitMs));

    std::wstring deep = Destination();
    while (deep.size() < 230)
        deep += L"\\" + std::wstring(std::max<size_t>(1, std::min<size_t>(50, 228 - std::min<size_t>(deep.size(), 228))), L'd');
    // The last folder takes the target past 260 characters.
    const std::string longFolder = std::string(40, 'n');
    MakeArchive({{"a.txt", "a", stamp}, {longFolder + "/long.txt", "long", stamp}});
    SyncStep step = Step({Archive()});
    step.destination = deep;
    EXPECT_EQ(SyncResult::PathTooLong, SynchroniseStep(step, copier));
    EXPECT_TRUE(copier.copied.empty());
    EXPECT_FALSE(FileExists(deep + L"\\a.txt"));

    const std::wstring target = deep + L"\\" + WideFromUtf8(longFolder);
    std::filesystem::create_directories(deep);
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + target).c_str(), nullptr));
    const std::wstring source = dir / L"long.txt";
    WriteBytes(source, "long");
    const std::wstring& longTarget = target;
    for (bool byStop : {false, true}) {
        SCOPED_TRACE(byStop);
        struct Copy {
            volatile long stop = 0;
            bool result = true;
            HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        };
        auto copy = std::make_shared<Copy>();
        const unsigned long limit = byStop ? kCopyBaseLimitMs : 1000;
        const std::wstring working = dir.Path();
        std::thread([copy, source, longTarget, limit, working] {
            XcopyCopier xcopy(&copy->stop, limit);
            copy->result = xcopy.CopyInto(source, longTarget, working);
            SetEvent(copy->done);
        }).detach();
        if (byStop) {
            Sleep(1000);
            copy->stop = 1;
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(copy->done, 60000)) << "the copy is ended";
        EXPECT_FALSE(copy->result);
    }
    // The scratch folder's removal cannot reach past 260 characters.
    DeleteFileW((L"\\\\?\\" + target + L"\\long.txt").c_str());
    EXPECT_TRUE(RemoveDirectoryW((L"\\\\?\\" + target).c_str()));
}
