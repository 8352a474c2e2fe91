// Entry names and extraction: the plain relative path rule the launcher
// shares, entry times, damaged and escaping archives.
#include "install/Launch.h"
#include "store/AtomicFile.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/Unzipper.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

// One rule for a plain relative path, whole name at most 260 bytes: archive
// entries (a folder entry may end with its separator) and the file the
// launcher starts, which names an entry, accept and refuse the same names.
TEST(EntryNames, AbsoluteDriveParentDeviceTrailingDotEmptyAndOverlongAreRefusedAlike)
{
    TempDir dir;
    const std::wstring folder = dir.Path();
    std::wstring ignored;
    auto launcherTakes = [&](const std::string& name) {
        return ResolveProgramToStart(name, folder, ignored) != StartRefusal::NotPlainRelative;
    };
    const std::string longest = std::string(200, 'a') + "/" + std::string(59, 'b');
    for (const std::string& name :
         std::vector<std::string>{"a.txt", "dir\\b.txt", "dir/sub/c.txt", "..name", "CONSOLE/aux_file.txt", longest}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
        EXPECT_TRUE(launcherTakes(name)) << name;
    }
    for (const char* name : {"dir\\", "dir/sub/"}) {
        EXPECT_TRUE(IsSafeEntryName(name)) << name << ": a folder entry";
        EXPECT_FALSE(launcherTakes(name)) << name << ": no file to start";
    }
    for (const std::string& name : std::vector<std::string>{
             "..\\..\\evil.txt", "../evil.txt", "a\\..\\..\\evil.txt", "a/..", "..", "C:\\evil.txt", "C:evil.txt",
             "\\evil.txt", "/evil.txt", "\\\\server\\share\\evil.txt", "", "sub/AUX", "COM1.log", "nul.txt", "lpt9",
             "name..", "a\\...\\b", "dir./f", "f ", "a/./b", "a//b.txt", "a\\\\b.txt", "dir//", longest + "c"}) {
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
        EXPECT_FALSE(launcherTakes(name)) << name;
    }
}

TEST(Unzip, NestedEntriesWithoutFolderEntriesAndTheirTimes)
{
    TempDir dir;
    DosStamp stamp = MakeDos(2021, 7, 8, 9, 10, 12);
    ASSERT_TRUE(WriteZip(dir / L"a.zip", {{"top.txt", "top", stamp}, {"a/b/c.txt", std::string(70000, 'c'), stamp}}));
    ASSERT_TRUE(UnzipArchive(dir / L"a.zip", dir / L"out"));
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
    ASSERT_TRUE(UnzipArchive(dir / L"s.zip", dir / L"out"));
    EXPECT_EQ("20240708120000", LocalWriteTimeDigits(dir / L"out\\summer.txt"));
    EXPECT_EQ("20240108120000", LocalWriteTimeDigits(dir / L"out\\winter.txt"));
    EXPECT_EQ("20240331033000", LocalWriteTimeDigits(dir / L"out\\after_change.txt"));
    // Half an hour newer counts as newer in either season, and the same time as equal.
    ASSERT_TRUE(WriteZip(dir / L"n.zip", {{"summer.txt", "s", MakeDos(2024, 7, 8, 12, 30, 0)},
                                          {"winter.txt", "w", MakeDos(2024, 1, 8, 12, 0, 0)}}));
    ASSERT_TRUE(UnzipArchive(dir / L"n.zip", dir / L"new"));
    EXPECT_EQ(1800, CompareFileTimes(dir / L"new\\summer.txt", dir / L"out\\summer.txt"));
    EXPECT_EQ(0, CompareFileTimes(dir / L"new\\winter.txt", dir / L"out\\winter.txt"));
}

TEST(Unzip, FolderOnlyArchiveCreatesTheFolders)
{
    TempDir dir;
    ZipEntry first{"empty/", ""};
    first.folder = true;
    ZipEntry second{"nested/inner/", ""};
    second.folder = true;
    ASSERT_TRUE(WriteZip(dir / L"f.zip", {first, second}));
    EXPECT_TRUE(UnzipArchive(dir / L"f.zip", dir / L"out"));
    EXPECT_TRUE(IsFolderPath(dir / L"out\\empty"));
    EXPECT_TRUE(IsFolderPath(dir / L"out\\nested\\inner"));
}

TEST(Unzip, SecondExtractionOverwritesEveryFile)
{
    TempDir dir;
    ASSERT_TRUE(WriteZip(dir / L"a.zip", {{"f.txt", "archive"}}));
    ASSERT_TRUE(UnzipArchive(dir / L"a.zip", dir / L"out"));
    WriteBytes(dir / L"out\\f.txt", "changed by hand, longer than before");
    ASSERT_TRUE(UnzipArchive(dir / L"a.zip", dir / L"out"));
    EXPECT_EQ("archive", ReadBytes(dir / L"out\\f.txt"));
}

TEST(Unzip, EmptyTruncatedAndForeignFilesFail)
{
    TempDir dir;
    ASSERT_TRUE(WriteZip(dir / L"empty.zip", {}));
    EXPECT_FALSE(UnzipArchive(dir / L"empty.zip", dir / L"out1"));

    ASSERT_TRUE(WriteZip(dir / L"whole.zip", {{"f.txt", std::string(5000, 'x')}}));
    std::string whole = ReadBytes(dir / L"whole.zip");
    WriteBytes(dir / L"cut.zip", whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(UnzipArchive(dir / L"cut.zip", dir / L"out2"));

    WriteBytes(dir / L"text.zip", "this is not a zip archive at all");
    EXPECT_FALSE(UnzipArchive(dir / L"text.zip", dir / L"out3"));
    EXPECT_FALSE(UnzipArchive(dir / L"missing.zip", dir / L"out4"));
    EXPECT_FALSE(UnzipArchive(L"", dir / L"out5"));
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
    EXPECT_FALSE(UnzipArchive(dir / L"bad.zip", dir / L"out"));
}

TEST(Unzip, EscapingEntryNamesWriteNothingAnywhere)
{
    TempDir dir;
    for (const char* evil : {"../../evil.txt", "C:\\evil.txt", "/evil.txt"}) {
        SCOPED_TRACE(evil);
        ASSERT_TRUE(WriteZip(dir / L"slip.zip", {{"good.txt", "g"}, {evil, "evil"}}));
        EXPECT_FALSE(UnzipArchive(dir / L"slip.zip", dir / L"stage\\inner\\out"));
        EXPECT_FALSE(FileExists(dir / L"stage\\inner\\out\\good.txt")) << "refused before any entry is written";
        EXPECT_FALSE(FileExists(dir / L"stage\\evil.txt"));
        EXPECT_FALSE(FileExists(dir / L"evil.txt"));
        EXPECT_FALSE(FileExists(L"C:\\evil.txt"));
    }
}

// The launcher and the publisher ask the library's own rule, on wide paths
// that the ANSI code page cannot spell.
TEST(Unzip, AcceptableArchivesFollowTheRulesOfTheUpdate)
{
    TempDir dir;
    const std::wstring folder = dir / L"\u03A9mega \u0416\\";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(WriteZip(dir / L"good.zip", {{"prog.exe", "MZ"}, {"sub/data.bin", std::string(10000, 'd')}}));
    std::filesystem::copy_file(dir / L"good.zip", folder + L"good.zip");
    EXPECT_TRUE(IsAcceptableArchive(folder + L"good.zip"));
    EXPECT_TRUE(UnzipArchive(folder + L"good.zip", folder + L"out"));
    EXPECT_EQ("MZ", ReadBytes(folder + L"out\\prog.exe"));

    WriteBytes(folder + L"shared.zip", SharedStreamZip(30, std::string(100000, 'z')));
    WriteBytes(folder + L"nested.zip", NestedEntryZip());
    // The zip writer takes ANSI paths: these are written beside and moved in.
    ASSERT_TRUE(WriteZip(dir / L"slip.zip", {{"good.txt", "g"}, {"../evil.txt", "e"}}));
    ASSERT_TRUE(WriteZip(dir / L"empty.zip", {}));
    ZipEntry notUtf8{"caf\xE8.txt", "x"}; // marked UTF-8, but a Latin-1 byte
    notUtf8.utf8Name = true;
    ASSERT_TRUE(WriteZip(dir / L"mark.zip", {notUtf8}));
    for (const wchar_t* name : {L"slip.zip", L"empty.zip", L"mark.zip"})
        std::filesystem::rename(dir / name, folder + name);
    WriteBytes(folder + L"text.zip", "not a zip");
    for (const wchar_t* name : {L"shared.zip", L"nested.zip", L"slip.zip", L"empty.zip", L"mark.zip", L"text.zip",
                                L"missing.zip"}) {
        SCOPED_TRACE(Utf8FromWide(name));
        EXPECT_FALSE(IsAcceptableArchive(folder + name));
        EXPECT_FALSE(UnzipArchive(folder + name, folder + L"refused"));
        EXPECT_FALSE(FileExists(folder + L"refused")) << "refused before anything is written";
    }
}
