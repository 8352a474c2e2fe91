// What the report list shows: thumbnails, install states and the installed
// state store, filters, the row pictures, cell comparison, column
// specifications and the sort order.
#include "environment/InstalledState.h"
#include "tests/TestSupport.h"
#include "format/CatalogueFormat.h"
#include "ui/Images.h"
#include "ui/ListRows.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <numeric>
#include <random>

namespace {
SoftwareRecord Record(const std::string& name, int type, int installed, int available, const std::string& category,
                      const std::string& favourite = "")
{
    SoftwareRecord record;
    record.name = name;
    record.type = type;
    record.installedBuild = installed;
    record.installedFolder = installed > 0 ? "C:\\apps\\" + name : "";
    record.availableBuild = available;
    record.category = category;
    record.favourite = favourite;
    return record;
}
} // namespace

namespace {
using testing_support::PngBytes;

/// A 32-bit Windows bitmap file, which GDI+ would decode just as well.
std::string BmpBytes(long side)
{
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = side;
    info.biHeight = side;
    info.biPlanes = 1;
    info.biBitCount = 32;
    const std::string pixels(static_cast<size_t>(side * side * 4), '\x40');
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    return std::string(reinterpret_cast<const char*>(&file), sizeof(file)) +
           std::string(reinterpret_cast<const char*>(&info), sizeof(info)) + pixels;
}
} // namespace

// A thumbnail comes from the server: only a PNG of at most 512 x 512 pixels,
// checked on its bytes, is decoded.
TEST(Thumbnails, OnlyAPngOfAtMost512PixelsASideIsDecoded)
{
    using testing_support::TempDir;
    TempDir dir;
    const struct {
        const wchar_t* name;
        std::string bytes;
        bool loads;
    } files[] = {
        {L"thumb.png", PngBytes(48, 48), true},
        {L"edge.png", PngBytes(512, 3), true},
        {L"wide.png", PngBytes(513, 1), false},
        {L"large.png", PngBytes(600, 600), false},
        {L"bitmap.png", BmpBytes(4), false},
        {L"cut.png", PngBytes(48, 48).substr(0, 23), false},
    };
    for (const auto& file : files) {
        testing_support::WriteBytes(dir / file.name, file.bytes);
        HBITMAP bitmap = nullptr;
        EXPECT_EQ(file.loads, LoadImageBitmap((dir / file.name).c_str(), 0, &bitmap)) << file.name;
        EXPECT_EQ(file.loads, bitmap != nullptr) << file.name;
        if (bitmap)
            DeleteObject(bitmap);
    }
    HBITMAP untouched = nullptr;
    EXPECT_FALSE(LoadImageBitmap((dir / L"missing.png").c_str(), 0, &untouched));
    EXPECT_FALSE(IsSmallPng(PngBytes(0, 4)));
    std::string badHeader = PngBytes(48, 48);
    badHeader[11] = 14; // an IHDR of another length
    EXPECT_FALSE(IsSmallPng(badHeader));
}

namespace {
/// The alpha of every pixel of a 32-bit bitmap, rows from the top.
std::vector<std::vector<int>> AlphaOf(HBITMAP bitmap)
{
    BITMAP info = {};
    GetObjectW(bitmap, sizeof(info), &info);
    BITMAPINFO format = {};
    format.bmiHeader = {sizeof(format.bmiHeader), info.bmWidth, -info.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<unsigned char> pixels(static_cast<size_t>(info.bmWidth) * static_cast<size_t>(info.bmHeight) * 4);
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bitmap, 0, static_cast<UINT>(info.bmHeight), pixels.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    std::vector<std::vector<int>> alpha(static_cast<size_t>(info.bmHeight), std::vector<int>(info.bmWidth));
    for (size_t y = 0; y < alpha.size(); ++y)
        for (size_t x = 0; x < alpha[y].size(); ++x)
            alpha[y][x] = pixels[(y * alpha[y].size() + x) * 4 + 3];
    return alpha;
}
} // namespace

// The list's cells are square and follow the DPI: a thumbnail of any shape is
// drawn from its PNG into the cell, whole, proportions kept and centred (a
// picture larger than the cell once showed only its top left corner).
TEST(Thumbnails, DrawnFromThePngIntoTheCellWholeAndCentred)
{
    using testing_support::TempDir;
    TempDir dir;
    testing_support::WriteBytes(dir / L"wide.png", PngBytes(96, 48));
    HBITMAP bitmap = nullptr;
    ASSERT_TRUE(LoadImageBitmap((dir / L"wide.png").c_str(), 0, &bitmap, 72));
    std::vector<std::vector<int>> alpha = AlphaOf(bitmap);
    DeleteObject(bitmap);
    ASSERT_EQ(72u, alpha.size());
    ASSERT_EQ(72u, alpha[0].size());
    EXPECT_EQ(0, alpha[10][36]) << "above the picture the cell stays clear";
    EXPECT_EQ(0, alpha[62][36]) << "below it too";
    EXPECT_GT(alpha[20][1], 0) << "the picture spans the whole width";
    EXPECT_GT(alpha[50][70], 0);

    testing_support::WriteBytes(dir / L"thin.png", PngBytes(512, 3));
    ASSERT_TRUE(LoadImageBitmap((dir / L"thin.png").c_str(), 0, &bitmap, 48));
    alpha = AlphaOf(bitmap);
    DeleteObject(bitmap);
    EXPECT_GT(alpha[23][24], 0) << "a thin picture keeps at least one row, in the middle";

    ASSERT_TRUE(LoadImageBitmap((dir / L"wide.png").c_str(), 0, &bitmap));
    BITMAP own = {};
    GetObjectW(bitmap, sizeof(own), &own);
    DeleteObject(bitmap);
    EXPECT_EQ(96, own.bmWidth) << "without a size the PNG keeps its own";
    EXPECT_EQ(48, own.bmHeight);
}

TEST(InstallState, FollowsInstalledAgainstAvailableBuild)
{
    EXPECT_EQ(InstallStatus::NotInstalled, InstallState(Record("A", 0, 0, 12, "")));
    EXPECT_EQ(InstallStatus::UpToDate, InstallState(Record("A", 0, 12, 12, "")));
    EXPECT_EQ(InstallStatus::UpdateAvailable, InstallState(Record("A", 0, 12, 13, "")));
    EXPECT_EQ(InstallStatus::UpToDate, InstallState(Record("A", 0, 12, 11, ""))) << "no downgrade is offered";
    EXPECT_EQ(InstallStatus::NotInstalled, InstallState(Record("A", 0, -3, 1, "")));
}

TEST(InstalledStateStore, InstallUninstallAndFavouriteWriteTheSectionAndSave)
{
    KeyValueStore settings;
    int saves = 0;
    auto save = [&saves] {
        ++saves;
        return true;
    };
    SoftwareRecord record = Record("abc", 0, 0, 7, "");
    record.name = "ABC";
    RecordInstalled(record, "C:\\data\\apps\\ABC", settings, save);
    EXPECT_EQ("7", settings.GetValue("ABC", "VERSION"));
    EXPECT_EQ("C:\\data\\apps\\ABC", settings.GetValue("abc", "PATH"));
    EXPECT_EQ(7, record.installedBuild);

    ToggleFavourite(record, settings, save);
    EXPECT_EQ("Y", settings.GetValue("ABC", "PREF"));
    record.favourite = "yes, by hand";
    ToggleFavourite(record, settings, save);
    EXPECT_EQ("", record.favourite) << "any non-empty mark counts and is cleared";
    EXPECT_EQ("", settings.GetValue("ABC", "PREF", "missing"));
    ToggleFavourite(record, settings, save);

    RecordUninstalled(record, settings, save);
    EXPECT_EQ("0", settings.GetValue("ABC", "VERSION"));
    EXPECT_EQ("", settings.GetValue("ABC", "PATH", "missing"));
    EXPECT_EQ("Y", settings.GetValue("ABC", "PREF")) << "the mark stays after an uninstall";
    EXPECT_EQ(0, record.installedBuild);
    EXPECT_EQ(5, saves) << "every change is written back at once";
}

TEST(ListFilter, TypesFiltersAndCategoriesCombine)
{
    std::vector<SoftwareRecord> catalogue = {
        Record("A", 0, 3, 3, "Grafica", "Y"), Record("B", 1, 0, 2, "Grafica"), Record("DEP", 100, 5, 5, "Grafica"),
        Record("C", 9, 2, 4, "Ufficio"),      Record("D", 10, 0, 1, "Ufficio"), Record("E", 0, 1, 1, "")};
    ListFilter all;
    EXPECT_EQ((std::vector<size_t>{0, 1, 3, 5}), VisibleRecords(catalogue, all));

    ListFilter installed;
    installed.onlyInstalled = true;
    EXPECT_EQ((std::vector<size_t>{0, 3, 5}), VisibleRecords(catalogue, installed));

    ListFilter both = installed;
    both.onlyFavourites = true;
    EXPECT_EQ((std::vector<size_t>{0}), VisibleRecords(catalogue, both));

    ListFilter category;
    category.categorySelected = true;
    category.category = "Ufficio";
    EXPECT_EQ((std::vector<size_t>{3}), VisibleRecords(catalogue, category));
    category.category = "grafica";
    EXPECT_TRUE(VisibleRecords(catalogue, category).empty()) << "categories compare exactly";
    category.category = "";
    EXPECT_EQ((std::vector<size_t>{5}), VisibleRecords(catalogue, category));
}

TEST(ListImages, ProgramTypeAndStatusPictures)
{
    EXPECT_EQ(kConsoleProgram, ProgramTypeImage(Record("A", 0, 0, 1, "")));
    EXPECT_EQ(kWindowProgram, ProgramTypeImage(Record("A", 3, 0, 1, "")));
    EXPECT_EQ(kNotInstalled, StatusImage(Record("A", 0, 0, 1, "")));
    EXPECT_EQ(kUpdateAvailable, StatusImage(Record("A", 0, 1, 2, "")));
    EXPECT_EQ(kUpToDate, StatusImage(Record("A", 0, 2, 2, "")));
}

TEST(CompareCells, NumbersPercentagesHexDatesThenText)
{
    EXPECT_LT(CompareCells(L"9", 0, L"10", 0), 0) << "numeric, not textual";
    EXPECT_LT(CompareCells(L"9%", 0, L"12%", 0), 0);
    EXPECT_LT(CompareCells(L"1.5", 0, L"10", 0), 0);
    EXPECT_GT(CompareCells(L"CAFE", 0, L"BABE", 0), 0) << "letters A to F read as hexadecimal";
    EXPECT_LT(CompareCells(L"FF", 0, L"100", 0), 0);
    EXPECT_LT(CompareCells(L"", 2, L"", 5), 0) << "empty cells by image";
    EXPECT_GT(CompareCells(L"", 7, L"", 5), 0);
    EXPECT_EQ(0, CompareCells(L"", 5, L"", 5));
    EXPECT_LT(CompareCells(L"", 9, L"a", 0), 0) << "empty text sorts first";
    EXPECT_LT(CompareCells(L"Beta", 0, L"alpha", 0), 0) << "case matters: upper case first";
    EXPECT_LT(CompareCells(L"abc", 0, L"abd", 0), 0);
    EXPECT_EQ(0, CompareCells(L"Same text", 0, L"Same text", 3));
    EXPECT_LT(CompareCells(L"2024-01-02 10:00", 0, L"2024-11-30 09:00", 0), 0);
}

TEST(ColumnSpec, TitlesWidthsAndAlignments)
{
    std::vector<ColumnSpec> columns =
        ParseColumnSpec(L"Preview,100;Software,120;Versione,80;Disponibile,90;Azione,80;Titolo,300");
    ASSERT_EQ(6u, columns.size());
    EXPECT_EQ(L"Preview", columns[0].title);
    EXPECT_EQ(300, columns[5].width);
    EXPECT_EQ(0, columns[5].alignment);

    std::vector<ColumnSpec> odd = ParseColumnSpec(L" Nome ;;Peso,,60,2;Centro,40,1;;");
    ASSERT_EQ(3u, odd.size());
    EXPECT_EQ(L"Nome", odd[0].title);
    EXPECT_EQ(100, odd[0].width);
    EXPECT_EQ(60, odd[1].width) << "empty pieces are dropped";
    EXPECT_EQ(2, odd[1].alignment);
    EXPECT_EQ(1, odd[2].alignment);
}

// CompareCells is no consistent order across kinds ("12.5" < "A" as text,
// "A" < "10" as hexadecimal, "10" < "12.5" as decimals): the sort must stay
// in range, end, keep every row, and order what is consistent.
TEST(SortRowOrder, MixedCellsKeepEveryRowAndConsistentRunsAreOrdered)
{
    const std::vector<std::wstring> kinds = {L"12.5", L"A", L"10", L"nan", L"", L"2024-01-02", L"FF", L"zeta",
                                             L"9%", L"Beta", L"-3", L"1e5", L"0x10", L"inf"};
    std::mt19937 random(11);
    std::vector<std::wstring> cells(300);
    std::vector<int> images(300);
    for (size_t i = 0; i < cells.size(); ++i) {
        cells[i] = kinds[random() % kinds.size()] + (random() % 3 == 0 ? std::to_wstring(random() % 50) : L"");
        images[i] = static_cast<int>(random() % 4);
    }
    auto byCell = [&](size_t a, size_t b) { return CompareCells(cells[a], images[a], cells[b], images[b]); };
    for (int direction : {1, -1}) {
        std::vector<size_t> order(cells.size());
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), random);
        SortRowOrder(order, [&](size_t a, size_t b) { return direction * byCell(a, b); });
        std::vector<size_t> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < sorted.size(); ++i)
            ASSERT_EQ(i, sorted[i]) << "every row exactly once";
    }
    // Plain decimal numbers alone are a consistent order, and come out sorted.
    std::vector<std::wstring> numbers;
    for (int i = 0; i < 300; ++i)
        numbers.push_back(std::to_wstring(static_cast<int>(random() % 1000) - 500));
    std::vector<size_t> order(numbers.size());
    std::iota(order.begin(), order.end(), 0);
    SortRowOrder(order, [&](size_t a, size_t b) { return CompareCells(numbers[a], 0, numbers[b], 0); });
    for (size_t i = 1; i < order.size(); ++i)
        EXPECT_LE(std::stoi(numbers[order[i - 1]]), std::stoi(numbers[order[i]]));
    // A comparison that answers at random still ends with a permutation.
    SortRowOrder(order, [&](size_t, size_t) { return static_cast<int>(random() % 3) - 1; });
    std::vector<size_t> check = order;
    std::sort(check.begin(), check.end());
    EXPECT_EQ(0u, check.front());
    EXPECT_EQ(299u, check.back());
    EXPECT_EQ(check.end(), std::adjacent_find(check.begin(), check.end()));
}
