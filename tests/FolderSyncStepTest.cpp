// The folder update as one step, all or nothing: copies cut short, stop
// requests, a process ended mid-way, several archives, the journal that puts
// the folder back, and copies that never end.
#include "store/Text.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/FolderSync.h"
#include "trelko_util/InstallJournal.h"
#include "tests/FolderSyncFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

using namespace testing_support;
using namespace folder_sync_testing;

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
    const std::string journal = ReadBytes(undo + kJournalFileName);
    std::map<std::wstring, std::string> aside = TreeOf(undo);
    aside.erase(kJournalFileName);
    ASSERT_EQ(2u, aside.size()) << "the old copies of a.txt and big.bin";
    const std::map<std::wstring, std::string> mixed = TreeOf(Destination());
    const size_t firstReplaced = journal.find("\nR ");
    ASSERT_NE(std::string::npos, firstReplaced);
    for (const std::string& damaged : {std::string(), journal.substr(0, firstReplaced + 4), journal + "R 3 x\n",
                                       journal + "Q what is this\n"}) {
        SCOPED_TRACE(damaged);
        WriteBytes(undo + kJournalFileName, damaged);
        EXPECT_EQ(SyncResult::JournalDamaged, SynchroniseStep(Step({Archive()}), copier));
        EXPECT_FALSE(ConcludeStep(Staging(), false));
        EXPECT_FALSE(ConcludeStep(Staging(), true));
        EXPECT_TRUE(Pending());
        std::map<std::wstring, std::string> kept = TreeOf(undo);
        kept.erase(kJournalFileName);
        EXPECT_EQ(aside, kept) << "no old copy deleted";
        EXPECT_EQ(mixed, TreeOf(Destination()));
    }
    WriteBytes(undo + kJournalFileName, journal);
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

// A copy that never ends (under Wine's 32-bit xcopy, one to a target of 260
// characters or more hangs for good; here a copying program that waits for
// ever, on either width) is ended by its handle at its time limit or at the
// stop request; a step refuses such a target before it starts.
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
    // The hanging launcher build of the tests: a program that never ends.
    wchar_t module[MAX_PATH];
    const std::wstring self(module, GetModuleFileNameW(nullptr, module, MAX_PATH));
    const std::wstring endless = self.substr(0, self.find_last_of(L'\\') + 1) + L"hanging\\MorvIndex.exe";
    ASSERT_TRUE(FileExists(endless));
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
        std::thread([copy, source, longTarget, limit, working, endless] {
            XcopyCopier xcopy(&copy->stop, limit, endless);
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
