#include "trelko_util/Crc32.h"
#include "trelko_util/FileServices.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>

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
    EXPECT_TRUE(IsFolder(dir / L"a\\b\\c\\d"));
    EXPECT_TRUE(MakeFolderPath(dir / L"a\\b\\c\\d")) << "an existing folder is fine";
    EXPECT_TRUE(MakeFolderPath(dir / L"x\\y\\"));
    EXPECT_TRUE(IsFolder(dir / L"x\\y"));

    WriteBytes(dir / L"plain.txt", "file");
    EXPECT_FALSE(MakeFolderPath(dir / L"plain.txt\\sub\\deeper"));
}
