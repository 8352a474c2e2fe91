// The folder update: what it copies and keeps, and what it refuses before
// anything is touched.
#include "store/Text.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/FolderSync.h"
#include "trelko_util/Unzipper.h"
#include "tests/FolderSyncFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace testing_support;
using namespace folder_sync_testing;

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
