// The report list on a real list-view control (common controls 6).
#include "ui/Dpi.h"
#include "ui/Label.h"
#include "ui/ReportAccessible.h"
#include "ui/ReportCtrl.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

/// A list whose common controls version the test chooses. (Wine's version 6
/// library answers DllGetVersion with 5.81, so the real answer differs from
/// Windows here.)
class VersionedReportCtrl : public CReportCtrl {
public:
    int version = 6;

protected:
    int CommonControlsMajorVersion() const override { return version; }
};

// A procedure another part of a program might put on a window after ours.
thread_local WNDPROC t_beforeForward = nullptr;
LRESULT CALLBACK Forward(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcW(t_beforeForward, window, message, wParam, lParam);
}

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
        list.SetItemData(row, value);
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
    VersionedReportCtrl list;
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
    EXPECT_EQ(&list, CWnd::FromHandlePermanent(list.m_hWnd));

    // An object gone before its window: the window keeps answering, through
    // its own procedure, or through the one that subclassed it afterwards.
    for (bool subclassedAfter : {false, true}) {
        HWND other = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 100, 100, parent,
                                     reinterpret_cast<HMENU>(1001), GetModuleHandleW(nullptr), nullptr);
        const LONG_PTR own = GetWindowLongPtrW(other, GWLP_WNDPROC);
        {
            CReportCtrl gone;
            ASSERT_TRUE(gone.SubclassDlgItem(1001, parent));
            ASSERT_TRUE(gone.SetColumnHeader(L"Software,120"));
            if (subclassedAfter)
                t_beforeForward = reinterpret_cast<WNDPROC>(
                    SetWindowLongPtrW(other, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Forward)));
        }
        EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(other));
        if (!subclassedAfter) {
            EXPECT_EQ(own, GetWindowLongPtrW(other, GWLP_WNDPROC));
        }
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.pszText = const_cast<wchar_t*>(L"row");
        EXPECT_EQ(0, SendMessageW(other, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        EXPECT_EQ(1, SendMessageW(other, LVM_GETITEMCOUNT, 0, 0));
        DestroyWindow(other);
    }

    // A second object on a window bound already takes its messages over,
    // without a chain that leads back to itself.
    CWnd second;
    const LONG_PTR listOwn = static_cast<LONG_PTR>(GetClassLongPtrW(list.m_hWnd, GCLP_WNDPROC));
    ASSERT_TRUE(second.SubclassDlgItem(1000, parent));
    EXPECT_EQ(&second, CWnd::FromHandlePermanent(list.m_hWnd));
    EXPECT_EQ(0, SendMessageW(list.m_hWnd, LVM_GETITEMCOUNT, 0, 0));

    // Bound again to another window, an object lets the first go whole: it
    // would otherwise answer for a window it no longer watches.
    HWND third = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT, 0, 0, 100, 100, parent,
                                 reinterpret_cast<HMENU>(1002), GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(second.SubclassDlgItem(1002, parent));
    EXPECT_EQ(&second, CWnd::FromHandlePermanent(third));
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(list.m_hWnd));
    EXPECT_EQ(listOwn, GetWindowLongPtrW(list.m_hWnd, GWLP_WNDPROC));
    EXPECT_EQ(0, SendMessageW(list.m_hWnd, LVM_GETITEMCOUNT, 0, 0));
    DestroyWindow(third);
}

TEST_F(ReportList, RowsCarryTextsInEveryColumnAndTheOwnersValue)
{
    int row = list.InsertItem(0x7FFFFFFF, {"", "Caff\xC3\xA8", "12", "Titolo"});
    ASSERT_EQ(0, row);
    list.SetItemData(row, 42);
    EXPECT_EQ(L"Caff\u00E8", list.GetItemText(0, 1));
    EXPECT_EQ(L"Titolo", list.GetItemText(0, 3));
    EXPECT_EQ(42, list.GetItemData(0));
    EXPECT_EQ(0, list.GetItemData(5)) << "a row the list does not have";
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
    EXPECT_EQ(2, list.GetItemData(0)) << "each row keeps its own value";
    EXPECT_EQ(3, list.GetItemData(2));
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

// A screen reader names a row by the owner's chosen columns (the first shows
// only a picture): the list's accessible object answers for each row.
TEST_F(ReportList, RowsAreNamedForScreenReadersByTheChosenColumns)
{
    list.InsertItem(0x7FFFFFFF, {"", "TOPOCAD", "18", "Disegno topografico"});
    list.InsertItem(0x7FFFFFFF, {"", "XYZ", "2", ""});
    // The system's own object for a list view, which ours wraps: the 64-bit
    // Wine makes none (E_NOINTERFACE), for this list as for any window.
    IAccessible* standard = nullptr;
    const HRESULT made = CreateStdAccessibleObject(list.m_hWnd, OBJID_CLIENT, IID_IAccessible,
                                                   reinterpret_cast<void**>(&standard));
    if (FAILED(made)) {
        std::cout << "[ NOTE     ] no standard accessible object here (0x" << std::hex << made << std::dec
                  << "); row names not read\n";
        return;
    }
    standard->Release();
    IAccessible* accessible = CreateReportAccessible(list.m_hWnd, {1, 3});
    ASSERT_NE(nullptr, accessible);
    auto nameOf = [accessible](LONG child, HRESULT& result) {
        VARIANT id;
        VariantInit(&id);
        id.vt = VT_I4;
        id.lVal = child;
        BSTR name = nullptr;
        result = accessible->get_accName(id, &name);
        std::wstring text = name ? name : L"";
        SysFreeString(name);
        return text;
    };
    HRESULT result = E_FAIL;
    EXPECT_EQ(L"TOPOCAD, Disegno topografico", nameOf(1, result));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ(L"XYZ", nameOf(2, result)) << "an empty title adds nothing";
    nameOf(3, result);
    EXPECT_EQ(E_INVALIDARG, result) << "a row the list does not have";
    accessible->Release();
}

namespace {

/// The window drawn into a memory bitmap as it would be on screen.
class Snapshot {
public:
    explicit Snapshot(HWND window)
    {
        RECT rect;
        GetWindowRect(window, &rect);
        m_width = rect.right - rect.left;
        m_height = rect.bottom - rect.top;
        HDC screen = GetDC(nullptr);
        m_dc = CreateCompatibleDC(screen);
        m_bitmap = CreateCompatibleBitmap(screen, m_width, m_height);
        ReleaseDC(nullptr, screen);
        m_old = SelectObject(m_dc, m_bitmap);
        PrintWindow(window, m_dc, 0);
    }
    ~Snapshot()
    {
        SelectObject(m_dc, m_old);
        DeleteObject(m_bitmap);
        DeleteDC(m_dc);
    }
    COLORREF At(int x, int y) const { return GetPixel(m_dc, x, y); }
    /// Whether colour appears anywhere in the rectangle.
    bool Holds(COLORREF colour, RECT area) const
    {
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                if (At(x, y) == colour)
                    return true;
        return false;
    }

private:
    int m_width, m_height;
    HDC m_dc;
    HBITMAP m_bitmap;
    HGDIOBJ m_old;
};

std::wstring HeaderTitle(HWND header, int column)
{
    wchar_t title[64] = {};
    HDITEMW item = {};
    item.mask = HDI_TEXT;
    item.pszText = title;
    item.cchTextMax = 63;
    SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&item));
    return title;
}

} // namespace

/// A parent that hands notifications back to the control, as the dialogs do.
LRESULT CALLBACK ReflectingParent(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NOTIFY) {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        LRESULT result = 0;
        CWnd* control = CWnd::FromHandlePermanent(header->hwndFrom);
        if (control && control->OnReflectedNotify(header, result))
            return result;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Colours are the behaviour here, so they are read back from the drawn list:
// a whole-row colour against a column colour, link cells in blue, the
// alternating rows (which show while no row is selected).
TEST(ReportListDrawing, RowAndColumnColoursLinksAndAlternateRows)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ReflectingParent;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ReflectingParent";
    RegisterClassW(&windowClass);
    HWND parent = CreateWindowExW(0, L"ReflectingParent", L"parent", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 700,
                                  300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    CReportCtrl list;
    ASSERT_TRUE(list.Create(parent, 1000, RECT{0, 0, 680, 260}, 0));
    ASSERT_TRUE(list.SetColumnHeader(L"Preview,100;Software,120;Versione,120;Sito,200"));
    auto Add = [&](const std::string& name, const std::string& version, LPARAM value) {
        list.SetItemData(list.InsertItem(0x7FFFFFFF, {"", name, version, "t"}), value);
    };
    for (int i = 0; i < 4; ++i)
        Add("name" + std::to_string(i), "WWWWWWWWWWWW", i);
    list.SetItemBkColor(0, -1, RGB(250, 0, 0));     // the whole row 0
    list.SetColumnBkColor(2, RGB(0, 200, 0));        // column 2, below any row's own colour
    LOGFONTW font = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(font), &font);
    list.SetLinkFont(font);
    list.SetColumnFlags(3, CReportCtrl::kLinkColumn);
    list.SetItemText(1, 3, L"www.example.it");
    list.SetAlternateMode(1);
    auto cell = [&](int row, int column) {
        RECT rect = {};
        rect.top = column;
        rect.left = LVIR_BOUNDS;
        list.SendMessageW(LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&rect));
        POINT origin = {0, 0};
        MapWindowPoints(list.m_hWnd, nullptr, &origin, 1);
        RECT window;
        GetWindowRect(list.m_hWnd, &window);
        OffsetRect(&rect, origin.x - window.left, origin.y - window.top);
        InflateRect(&rect, -2, -2);
        return rect;
    };
    Snapshot drawn(list.m_hWnd);
    RECT row0column2 = cell(0, 2), row1column2 = cell(1, 2), row1column1 = cell(1, 1), row2column1 = cell(2, 1);
    EXPECT_EQ(RGB(250, 0, 0), drawn.At(row0column2.right - 2, row0column2.top + 1)) << "the row's colour wins";
    EXPECT_EQ(RGB(0, 200, 0), drawn.At(row1column2.right - 2, row1column2.top + 1)) << "else the column's";
    EXPECT_EQ(RGB(240, 240, 240), drawn.At(row1column1.right - 2, row1column1.top + 1)) << "odd rows";
    EXPECT_EQ(RGB(255, 255, 255), drawn.At(row2column1.right - 2, row2column1.top + 1)) << "even rows";
    EXPECT_TRUE(drawn.Holds(RGB(0, 0, 255), cell(1, 3))) << "a link cell is drawn in blue";
    EXPECT_FALSE(drawn.Holds(RGB(0, 0, 255), cell(1, 1)));

    // With a row selected the alternate colours show only while the list has the focus.
    list.SetItemState(3, LVIS_SELECTED, LVIS_SELECTED);
    SetFocus(parent);
    Snapshot unfocused(list.m_hWnd);
    EXPECT_EQ(RGB(255, 255, 255), unfocused.At(row1column1.right - 2, row1column1.top + 1));
    SetFocus(list.m_hWnd);
    ASSERT_EQ(list.m_hWnd, GetFocus());
    Snapshot focused(list.m_hWnd);
    EXPECT_EQ(RGB(240, 240, 240), focused.At(row1column1.right - 2, row1column1.top + 1));
    DestroyWindow(parent);
}

TEST(ReportListHeader, ArrowsFromVersion6AndStarredTitlesBefore)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    HWND parent = CreateWindowExW(0, L"STATIC", L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    VersionedReportCtrl old;
    old.version = 5;
    ASSERT_TRUE(old.Create(parent, 1001, RECT{0, 0, 500, 300}, LVS_ICON | LVS_EDITLABELS));
    LONG_PTR style = GetWindowLongPtrW(old.m_hWnd, GWL_STYLE);
    EXPECT_EQ(LVS_REPORT, style & LVS_TYPEMASK) << "Create forces the report styles";
    EXPECT_EQ(0, style & LVS_EDITLABELS);
    ASSERT_TRUE(old.SetColumnHeader(L"Software,120;Versione,80"));
    old.InsertItem(0x7FFFFFFF, {"B", "2"});
    old.InsertItem(0x7FFFFFFF, {"A", "1"});
    HWND header = old.GetHeaderCtrl();
    old.SortItems(1, true);
    EXPECT_EQ(L"Versione*", HeaderTitle(header, 1));
    EXPECT_EQ(L"Software", HeaderTitle(header, 0));
    old.SortItems(0, true);
    EXPECT_EQ(L"Software*", HeaderTitle(header, 0));
    EXPECT_EQ(L"Versione", HeaderTitle(header, 1)) << "the mark goes with the sort";
    old.SortItems(0, false);
    EXPECT_EQ(L"Software*", HeaderTitle(header, 0)) << "never two marks";
    DestroyWindow(parent);
}

namespace {

/// A label whose links go to a list instead of the shell.
class RecordingLabel : public CLabel {
public:
    std::vector<std::wstring> opened;

protected:
    void OpenLink(const std::wstring& target, const wchar_t* verb) override
    {
        opened.push_back((verb ? std::wstring(verb) : L"<default>") + L" " + target);
    }
};

UINT g_notifyCode = 0;

LRESULT CALLBACK RecordNotify(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NOTIFY)
        g_notifyCode = reinterpret_cast<NMHDR*>(lParam)->code;
    return DefWindowProcW(window, message, wParam, lParam);
}

class LabelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = RecordNotify;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"LabelTestParent";
        RegisterClassW(&windowClass);
        parent = CreateWindowExW(0, L"LabelTestParent", L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 200, 30, parent,
                        reinterpret_cast<HMENU>(1010), GetModuleHandleW(nullptr), nullptr);
        ASSERT_TRUE(label.SubclassDlgItem(1010, parent));
    }
    void TearDown() override { DestroyWindow(parent); }
    /// The label drawn through WM_PRINTCLIENT.
    COLORREF PixelAt(int x, int y)
    {
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 200, 30);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(dc, bitmap);
        label.SendMessageW(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        COLORREF colour = GetPixel(dc, x, y);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        return colour;
    }
    /// How many rows of the label's pixels show anything but its background.
    int InkRows()
    {
        const COLORREF background = PixelAt(0, 0);
        int rows = 0;
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 200, 30);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(dc, bitmap);
        label.SendMessageW(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 200; ++x)
                if (GetPixel(dc, x, y) != background) {
                    ++rows;
                    break;
                }
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        return rows;
    }
    void Pump(DWORD milliseconds)
    {
        DWORD start = GetTickCount();
        MSG msg;
        while (GetTickCount() - start < milliseconds) {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            Sleep(10);
        }
    }

    HWND parent = nullptr;
    RecordingLabel label;
};

} // namespace

// Moved to a monitor of twice the DPI, the label draws its text twice as
// tall, and as before once back.
TEST_F(LabelTest, FontFollowsTheWindowsDpi)
{
    const UINT dpi = WindowDpi(label.m_hWnd);
    label.SetText(L"HH");
    const int before = InkRows();
    ASSERT_GT(before, 4);
    label.SetDpi(dpi * 2);
    const int doubled = InkRows();
    EXPECT_GE(doubled, before * 17 / 10) << before << " rows before";
    EXPECT_LE(doubled, before * 23 / 10) << before << " rows before";
    label.SetDpi(dpi);
    EXPECT_EQ(before, InkRows());
}

TEST_F(LabelTest, GradientBandsRunFromTheSecondColourToTheFirst)
{
    CLabel& chained = label.SetBkColor(RGB(0, 0, 200), RGB(200, 0, 0), 1).SetText(L"");
    EXPECT_EQ(&label, &chained) << "operations chain";
    // 200 pixels: 100 bands of 2 pixels, each 2 steps of red down and blue up.
    EXPECT_EQ(RGB(200, 0, 0), PixelAt(0, 10));
    EXPECT_EQ(RGB(200, 0, 0), PixelAt(1, 10));
    EXPECT_EQ(RGB(198, 0, 2), PixelAt(2, 10));
    EXPECT_EQ(RGB(100, 0, 100), PixelAt(100, 10));
    EXPECT_EQ(RGB(2, 0, 198), PixelAt(199, 10)) << "the last band reaches the right edge";
    label.SetBkColor(RGB(10, 20, 30));
    EXPECT_EQ(RGB(10, 20, 30), PixelAt(150, 10)) << "mode 0 fills solid";
    EXPECT_EQ(RGB(10, 20, 30), label.GetBkColor());
}

TEST_F(LabelTest, FlashingTogglesOnTimerOneAndStops)
{
    label.SetBkColor(RGB(255, 255, 255)).SetTextColor(RGB(0, 0, 0)).SetText(L"\u2588\u2588\u2588\u2588");
    label.FlashBackground(true);
    EXPECT_FALSE(label.FlashPhase());
    Pump(650);
    EXPECT_TRUE(label.FlashPhase()) << "the first tick after 500 ms";
    EXPECT_EQ(RGB(0, 0, 0), PixelAt(190, 25)) << "colours swapped: the background is the text colour";
    Pump(500);
    EXPECT_FALSE(label.FlashPhase());
    label.FlashBackground(false);
    Pump(600);
    EXPECT_FALSE(label.FlashPhase()) << "stopped";
    EXPECT_EQ(RGB(255, 255, 255), PixelAt(190, 25));
}

TEST_F(LabelTest, LinkClicksOpenTheTargetTheTextOrAMailAddressOrNotifyTheParent)
{
    label.SetText(L"assistenza@morvindex.example");
    label.SendMessageW(WM_LBUTTONUP);
    EXPECT_TRUE(label.opened.empty()) << "no link, nothing opens";
    label.SetLink(true);
    EXPECT_NE(0, GetWindowLongPtrW(label.m_hWnd, GWL_STYLE) & SS_NOTIFY) << "a link hears the mouse";
    label.SendMessageW(WM_LBUTTONUP);
    label.SetLinkTarget(L"http://www.morvindex.example/");
    label.SendMessageW(WM_LBUTTONUP);
    label.SetMailLink(true);
    label.SendMessageW(WM_LBUTTONUP);
    EXPECT_EQ((std::vector<std::wstring>{L"open assistenza@morvindex.example", L"open http://www.morvindex.example/",
                                         L"<default> mailto:assistenza@morvindex.example"}),
              label.opened);
    label.SetLink(true, true);
    label.SendMessageW(WM_LBUTTONUP);
    EXPECT_EQ(CLabel::kLinkClicked, g_notifyCode);
    EXPECT_EQ(3u, label.opened.size()) << "notify mode opens nothing";

    // The tooltip comes with the first message the label pre-translates.
    EXPECT_EQ(nullptr, label.Tooltip());
    MSG msg = {label.m_hWnd, WM_MOUSEMOVE, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(CWnd::PreTranslateFor(&msg));
    EXPECT_NE(nullptr, label.Tooltip());
}
