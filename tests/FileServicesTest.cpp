// The library's file services: CRC-32, the listing, file names as the file
// system tells them apart, file times, fingerprints and folder creation.
#include "trelko_util/Crc32.h"
#include "store/AtomicFile.h"
#include "trelko_util/FileServices.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <set>

using namespace testing_support;

TEST(Crc32, MatchesTheKnownValueAndZlib)
{
    zelto::ComputeCrc32 crc32;
    EXPECT_EQ(891568578u, crc32.Update(0, "abc", 3));
    EXPECT_EQ(0u, crc32.Update(0, "", 0));

    std::mt19937 random(7);
    std::string data(100000, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    uLong expected = crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size());
    EXPECT_EQ(expected, crc32.Update(0, data.data(), data.size()));
    // Continuing over two halves gives the same value as one pass.
    uint32_t half = crc32.Update(0, data.data(), 5000);
    EXPECT_EQ(expected, crc32.Update(half, data.data() + 5000, data.size() - 5000));

    TempDir dir;
    WriteBytes(dir / L"f.bin", data);
    bool error = true;
    EXPECT_EQ(expected, crc32.FileCrc(dir / L"f.bin", error));
    EXPECT_FALSE(error);
    EXPECT_EQ(0u, crc32.FileCrc(dir / L"missing.bin", error));
    EXPECT_TRUE(error);
}

TEST(ListFiles, FilesBeforeSubfoldersDepthFirstAndDotNamesSkipped)
{
    TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir / L"b\\deep");
    fs::create_directories(dir / L".hidden");
    fs::create_directories(dir / L"a");
    WriteBytes(dir / L"top.txt", "1");
    WriteBytes(dir / L".dotfile", "1");
    WriteBytes(dir / L"a\\in_a.txt", "1");
    WriteBytes(dir / L"b\\in_b.txt", "1");
    WriteBytes(dir / L"b\\deep\\in_deep.txt", "1");
    WriteBytes(dir / L".hidden\\secret.txt", "1");

    std::vector<ListedFile> files;
    EXPECT_EQ(4, ListFiles(dir.Path(), L"*", true, files));
    ASSERT_EQ(4u, files.size());
    EXPECT_EQ(ListedFile(dir.Path(), L"top.txt"), files[0]);
    EXPECT_EQ(ListedFile(dir / L"a\\", L"in_a.txt"), files[1]);
    EXPECT_EQ(ListedFile(dir / L"b\\", L"in_b.txt"), files[2]);
    EXPECT_EQ(ListedFile(dir / L"b\\deep\\", L"in_deep.txt"), files[3]);

    std::vector<ListedFile> flat;
    EXPECT_EQ(1, ListFiles(dir.Path(), L"*", false, flat));
    std::vector<ListedFile> none;
    EXPECT_EQ(0, ListFiles(dir / L"missing\\", L"*", true, none));
}

// One path on Windows: names that differ in letter case only, over all of
// Unicode, are one file; names that a linguistic comparison calls equal but
// that are spelt with other characters ("\u00DF" and "ss", "e" with a
// combining accent and "\u00E9") are two, as the file system keeps them.
TEST(FileNames, CaseFoldsOverUnicodeAndOtherSpellingsStayApart)
{
    TempDir dir;
    const std::vector<std::pair<std::wstring, std::wstring>> one = {
        {L"\u00C9T\u00C9.txt", L"\u00E9t\u00E9.txt"},
        {L"\u00C4rger", L"\u00E4RGER"},
        {L"\u03A9\u039C\u0395\u0393\u0391", L"\u03C9\u03BC\u03B5\u03B3\u03B1"},
        {L"\u0416\u0423\u041A", L"\u0436\u0443\u043A"},
        {L"Setup.EXE", L"setup.exe"}};
    const std::vector<std::pair<std::wstring, std::wstring>> two = {
        {L"stra\u00DFe.txt", L"strasse.txt"}, {L"caf\u00E9", L"cafe\u0301"}, {L"a.txt", L"b.txt"}};
    for (const auto& pair : one) {
        EXPECT_TRUE(SameFileName(pair.first, pair.second)) << Utf8FromWide(pair.first);
        EXPECT_EQ(FoldedFileName(Utf8FromWide(pair.first)), FoldedFileName(Utf8FromWide(pair.second)));
        std::set<std::wstring, FileNameLess> names = {pair.first, pair.second};
        EXPECT_EQ(1u, names.size()) << Utf8FromWide(pair.first);
    }
    for (const auto& pair : two) {
        EXPECT_FALSE(SameFileName(pair.first, pair.second)) << Utf8FromWide(pair.first);
        std::set<std::wstring, FileNameLess> names = {pair.first, pair.second};
        EXPECT_EQ(2u, names.size()) << Utf8FromWide(pair.first);
        // The file system agrees: both are files of their own.
        WriteBytes(dir / pair.first, "1");
        WriteBytes(dir / pair.second, "2");
        EXPECT_EQ("1", ReadBytes(dir / pair.first)) << Utf8FromWide(pair.first);
    }
}

TEST(FileTimes, SubSecondDifferencesCompareEqualAndSignFollowsTheNewerFile)
{
    TempDir dir;
    WriteBytes(dir / L"a", "1");
    WriteBytes(dir / L"b", "2");
    FILETIME base = FileTimeOf(MakeDos(2023, 3, 4, 5, 6, 8));
    SetWriteTime(dir / L"a", base);
    FILETIME nearly = base;
    nearly.dwLowDateTime += 4000000; // 0.4 s later
    SetWriteTime(dir / L"b", nearly);
    EXPECT_EQ(0, CompareFileTimes(dir / L"a", dir / L"b"));

    SetWriteTime(dir / L"b", Shifted(base, 10));
    EXPECT_EQ(-10, CompareFileTimes(dir / L"a", dir / L"b"));
    EXPECT_EQ(10, CompareFileTimes(dir / L"b", dir / L"a"));
    EXPECT_EQ("20230304050608", LocalWriteTimeDigits(dir / L"a"));
}

TEST(FileFingerprint, IsTimeCrcAndSizeAndAnUnreadableFileHasCrcZero)
{
    TempDir dir;
    WriteBytes(dir / L"abc.txt", "abc");
    SetWriteTime(dir / L"abc.txt", FileTimeOf(MakeDos(2022, 12, 31, 23, 59, 58)));
    EXPECT_EQ("20221231235958|891568578|3", FileFingerprint(dir / L"abc.txt"));

    HANDLE locked = CreateFileW((dir / L"abc.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    std::string fingerprint = FileFingerprint(dir / L"abc.txt");
    CloseHandle(locked);
    EXPECT_EQ("|0|3", fingerprint.substr(fingerprint.find('|'))) << fingerprint;
}

TEST(MakeFolderPath, CreatesEveryMissingParentAndFailsUnderAFile)
{
    TempDir dir;
    EXPECT_FALSE(MakeFolderPath(L""));
    EXPECT_TRUE(MakeFolderPath(dir / L"a\\b/c\\d"));
    EXPECT_TRUE(IsFolderPath(dir / L"a\\b\\c\\d"));
    EXPECT_TRUE(MakeFolderPath(dir / L"a\\b\\c\\d")) << "an existing folder is fine";
    EXPECT_TRUE(MakeFolderPath(dir / L"x\\y\\"));
    EXPECT_TRUE(IsFolderPath(dir / L"x\\y"));

    WriteBytes(dir / L"plain.txt", "file");
    EXPECT_FALSE(MakeFolderPath(dir / L"plain.txt\\sub\\deeper"));
}
