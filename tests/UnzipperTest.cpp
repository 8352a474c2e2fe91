#include "trelko_util/FileServices.h"
#include "trelko_util/Unzipper.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

using namespace testing_support;

TEST(EntryNames, AbsoluteDriveParentDeviceAndTrailingDotComponentsAreUnsafe)
{
    for (const char* name : {"a.txt", "dir\\b.txt", "dir/sub/c.txt", "..name", "dir\\", "CONSOLE/aux_file.txt"})
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    for (const char* name : {"..\\..\\evil.txt", "../evil.txt", "a\\..\\..\\evil.txt", "a/..", "..", "C:\\evil.txt",
                             "C:evil.txt", "\\evil.txt", "/evil.txt", "\\\\server\\share\\evil.txt", "",
                             "sub/AUX", "COM1.log", "nul.txt", "lpt9", "name..", "a\\...\\b", "dir./f", "f ", "a/./b"})
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
}

TEST(Unzip, NestedEntriesWithoutFolderEntriesAndTheirTimes)
{
    TempDir dir;
    DosStamp stamp = MakeDos(2021, 7, 8, 9, 10, 12);
    ASSERT_TRUE(WriteZip(dir / L"a.zip", {{"top.txt", "top", stamp}, {"a/b/c.txt", std::string(70000, 'c'), stamp}}));
    ASSERT_TRUE(UnzipArchive(dir.Narrow() + "a.zip", dir.Narrow() + "out"));
    EXPECT_EQ("top", ReadBytes(dir / L"out\\top.txt"));
    EXPECT_EQ(std::string(70000, 'c'), ReadBytes(dir / L"out\\a\\b\\c.txt"));
    FILETIME expected = FileTimeOf(stamp);
    FILETIME actual = WriteTimeOf(dir / L"out\\a\\b\\c.txt");
    EXPECT_EQ(0, CompareFileTime(&expected, &actual));
}

// The tests run in a zone with daylight saving (TZ is set for them): an entry
// keeps its own local clock whatever the season of the extraction, so a
// re-extraction after a change of season matches the installed copy.
TEST(Unzip, EntryTimesKeepTheirClockInBothSeasons)
{
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    ASSERT_NE(0, zone.DaylightDate.wMonth) << "the test zone must have daylight saving";
    TempDir dir;
    ASSERT_TRUE(WriteZip(dir / L"s.zip", {{"summer.txt", "s", MakeDos(2024, 7, 8, 12, 0, 0)},
                                          {"winter.txt", "w", MakeDos(2024, 1, 8, 12, 0, 0)},
                                          {"after_change.txt", "c", MakeDos(2024, 3, 31, 3, 30, 0)}}));
    ASSERT_TRUE(UnzipArchive(dir.Narrow() + "s.zip", dir.Narrow() + "out"));
    EXPECT_EQ("20240708120000", LocalWriteTimeDigits(dir.Narrow() + "out\\summer.txt"));
    EXPECT_EQ("20240108120000", LocalWriteTimeDigits(dir.Narrow() + "out\\winter.txt"));
    EXPECT_EQ("20240331033000", LocalWriteTimeDigits(dir.Narrow() + "out\\after_change.txt"));
    // Half an hour newer counts as newer in either season, and the same time as equal.
    ASSERT_TRUE(WriteZip(dir / L"n.zip", {{"summer.txt", "s", MakeDos(2024, 7, 8, 12, 30, 0)},
                                          {"winter.txt", "w", MakeDos(2024, 1, 8, 12, 0, 0)}}));
    ASSERT_TRUE(UnzipArchive(dir.Narrow() + "n.zip", dir.Narrow() + "new"));
    EXPECT_EQ(1800, CompareFileTimes(dir.Narrow() + "new\\summer.txt", dir.Narrow() + "out\\summer.txt"));
    EXPECT_EQ(0, CompareFileTimes(dir.Narrow() + "new\\winter.txt", dir.Narrow() + "out\\winter.txt"));
}

TEST(Unzip, FolderOnlyArchiveCreatesTheFolders)
{
    TempDir dir;
    ZipEntry first{"empty/", ""};
    first.folder = true;
    ZipEntry second{"nested/inner/", ""};
    second.folder = true;
    ASSERT_TRUE(WriteZip(dir / L"f.zip", {first, second}));
    EXPECT_TRUE(UnzipArchive(dir.Narrow() + "f.zip", dir.Narrow() + "out"));
    EXPECT_TRUE(IsFolder(dir.Narrow() + "out\\empty"));
    EXPECT_TRUE(IsFolder(dir.Narrow() + "out\\nested\\inner"));
}

TEST(Unzip, SecondExtractionOverwritesEveryFile)
{
    TempDir dir;
    ASSERT_TRUE(WriteZip(dir / L"a.zip", {{"f.txt", "archive"}}));
    ASSERT_TRUE(UnzipArchive(dir.Narrow() + "a.zip", dir.Narrow() + "out"));
    WriteBytes(dir / L"out\\f.txt", "changed by hand, longer than before");
    ASSERT_TRUE(UnzipArchive(dir.Narrow() + "a.zip", dir.Narrow() + "out"));
    EXPECT_EQ("archive", ReadBytes(dir / L"out\\f.txt"));
}

TEST(Unzip, EmptyTruncatedAndForeignFilesFail)
{
    TempDir dir;
    ASSERT_TRUE(WriteZip(dir / L"empty.zip", {}));
    EXPECT_FALSE(UnzipArchive(dir.Narrow() + "empty.zip", dir.Narrow() + "out1"));

    ASSERT_TRUE(WriteZip(dir / L"whole.zip", {{"f.txt", std::string(5000, 'x')}}));
    std::string whole = ReadBytes(dir / L"whole.zip");
    WriteBytes(dir / L"cut.zip", whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(UnzipArchive(dir.Narrow() + "cut.zip", dir.Narrow() + "out2"));

    WriteBytes(dir / L"text.zip", "this is not a zip archive at all");
    EXPECT_FALSE(UnzipArchive(dir.Narrow() + "text.zip", dir.Narrow() + "out3"));
    EXPECT_FALSE(UnzipArchive(dir.Narrow() + "missing.zip", dir.Narrow() + "out4"));
    EXPECT_FALSE(UnzipArchive("", dir.Narrow() + "out5"));
}

TEST(Unzip, CorruptedEntryDataIsAFailure)
{
    TempDir dir;
    std::string payload(4000, 'p');
    ASSERT_TRUE(WriteZip(dir / L"a.zip", {{"f.txt", payload}}));
    std::string bytes = ReadBytes(dir / L"a.zip");
    // Flip bytes inside the compressed data (after the 30-byte local header and the name).
    for (size_t i = 40; i < 44; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    WriteBytes(dir / L"bad.zip", bytes);
    EXPECT_FALSE(UnzipArchive(dir.Narrow() + "bad.zip", dir.Narrow() + "out"));
}

TEST(Unzip, EscapingEntryNamesWriteNothingAnywhere)
{
    TempDir dir;
    for (const char* evil : {"../../evil.txt", "C:\\evil.txt", "/evil.txt"}) {
        SCOPED_TRACE(evil);
        ASSERT_TRUE(WriteZip(dir / L"slip.zip", {{"good.txt", "g"}, {evil, "evil"}}));
        EXPECT_FALSE(UnzipArchive(dir.Narrow() + "slip.zip", dir.Narrow() + "stage\\inner\\out"));
        EXPECT_FALSE(FileExists(dir / L"stage\\inner\\out\\good.txt")) << "refused before any entry is written";
        EXPECT_FALSE(FileExists(dir / L"stage\\evil.txt"));
        EXPECT_FALSE(FileExists(dir / L"evil.txt"));
        EXPECT_FALSE(FileExists(L"C:\\evil.txt"));
    }
}
