// The report list on a real list-view control (common controls 6).
#include "ui/ReportCtrl.h"

#include <gtest/gtest.h>

#include <commctrl.h>

namespace {

class ReportList : public ::testing::Test {
protected:
    void SetUp() override
    {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        parent = CreateWindowExW(0, L"STATIC", L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_ICON | LVS_EDITLABELS, 0, 0, 580, 380, parent,
                        reinterpret_cast<HMENU>(1000), GetModuleHandleW(nullptr), nullptr);
        ASSERT_TRUE(list.SubclassDlgItem(1000, parent));
        ASSERT_TRUE(list.SetColumnHeader(L"Preview,100;Software,120;Versione,80;Titolo,300"));
    }
    void TearDown() override { DestroyWindow(parent); }

    int Add(const std::string& name, const std::string& version, LPARAM value)
    {
        int row = list.InsertItem(0x7FFFFFFF, {"", name, version, "t"});
        list.SetRowValue(row, value);
        return row;
    }
    std::vector<std::wstring> Column(int column)
    {
        std::vector<std::wstring> texts;
        for (int row = 0; row < list.GetItemCount(); ++row)
            texts.push_back(list.GetItemText(row, column));
        return texts;
    }
    int HeaderFormat(int column)
    {
        HDITEMW item = {};
        item.mask = HDI_FORMAT;
        SendMessageW(list.GetHeaderCtrl(), HDM_GETITEMW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&item));
        return item.fmt & (HDF_SORTUP | HDF_SORTDOWN);
    }

    HWND parent = nullptr;
    CReportCtrl list;
};

} // namespace

TEST_F(ReportList, SubclassingForcesTheReportStylesAndColumnsComeFromTheText)
{
    LONG_PTR style = GetWindowLongPtrW(list.m_hWnd, GWL_STYLE);
    EXPECT_EQ(LVS_REPORT, style & LVS_TYPEMASK);
    EXPECT_EQ(0, style & LVS_EDITLABELS);
    EXPECT_NE(0, style & LVS_SHOWSELALWAYS);
    DWORD extended = static_cast<DWORD>(list.SendMessageW(LVM_GETEXTENDEDLISTVIEWSTYLE));
    EXPECT_NE(0u, extended & LVS_EX_FULLROWSELECT);
    EXPECT_NE(0u, extended & LVS_EX_SUBITEMIMAGES);
    EXPECT_EQ(4, list.GetColumnCount());
    EXPECT_EQ(300, static_cast<int>(list.SendMessageW(LVM_GETCOLUMNWIDTH, 3)));
}

TEST_F(ReportList, RowsCarryTextsInEveryColumnAndTheOwnersValue)
{
    int row = list.InsertItem(0x7FFFFFFF, {"", "Caff\xC3\xA8", "12", "Titolo"});
    ASSERT_EQ(0, row);
    list.SetRowValue(row, 42);
    EXPECT_EQ(L"Caff\u00E8", list.GetItemText(0, 1));
    EXPECT_EQ(L"Titolo", list.GetItemText(0, 3));
    EXPECT_EQ(42, list.GetRowValue(0));
    EXPECT_EQ(0, list.GetRowValue(5)) << "a row the list does not have";
    list.SetItemTextColor(7, -1, RGB(1, 2, 3)); // ignored, not a crash
    EXPECT_EQ(1, list.DeleteAllItems());
    EXPECT_EQ(0, list.GetItemCount());
}

TEST_F(ReportList, SortingIsNumericMovesTheRowDataAndShowsArrows)
{
    Add("B", "10", 1);
    Add("A", "9", 2);
    Add("C", "100", 3);
    list.SortItems(2, true);
    EXPECT_EQ((std::vector<std::wstring>{L"9", L"10", L"100"}), Column(2));
    EXPECT_EQ(2, list.GetRowValue(0)) << "each row keeps its own value";
    EXPECT_EQ(3, list.GetRowValue(2));
    EXPECT_EQ(HDF_SORTUP, HeaderFormat(2));
    EXPECT_EQ(0, HeaderFormat(1));

    list.SortItems(2, false);
    EXPECT_EQ((std::vector<std::wstring>{L"100", L"10", L"9"}), Column(2));
    EXPECT_EQ(HDF_SORTDOWN, HeaderFormat(2));
    EXPECT_EQ(std::vector<int>{2}, list.GetSortColumns());
}

TEST_F(ReportList, SecondarySortColumnsAndInsertionClearsTheSort)
{
    Add("B", "2", 1);
    Add("A", "2", 2);
    Add("C", "1", 3);
    list.RestoreSortColumns({2, 1});
    EXPECT_EQ((std::vector<std::wstring>{L"C", L"A", L"B"}), Column(1));
    EXPECT_TRUE(list.IsSortAscending());

    Add("D", "0", 4);
    EXPECT_TRUE(list.GetSortColumns().empty()) << "a new row makes the order unsorted";
    EXPECT_EQ(L"D", list.GetItemText(3, 1));
}
