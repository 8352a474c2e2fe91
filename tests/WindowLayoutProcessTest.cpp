// The launcher's window at the DPI of the screen it runs on: CTest runs these
// tests in the usual prefix (96 DPI) and, through tests/dpi_prefix.sh, in a
// prefix of their own whose LogPixels is 144 and then 192, as a user's 150 %
// and 200 % display scaling sets it. Sizes the window measures in pixels are
// their 96-DPI values scaled, nothing is cut or overlaps, and the keyboard and
// screen readers reach everything.
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <oleacc.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

/// The screen's DPI as this process sees it; the prefix script says which it set.
UINT ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    UINT dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    return dpi;
}

int Scaled(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }

/// A rectangle another process's list view writes into its own memory.
RECT RemoteRect(HANDLE process, HWND list, UINT message, WPARAM wParam, const RECT& in)
{
    RECT out = {};
    auto* remote = static_cast<RECT*>(VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE));
    if (!remote)
        return out;
    WriteProcessMemory(process, remote, &in, sizeof(in), nullptr);
    SendMessageW(list, message, wParam, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(process, remote, &out, sizeof(out), nullptr);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return out;
}

/// The picture cell of a row's first column.
RECT ThumbnailCell(HANDLE process, HWND list, int row)
{
    RECT in = {LVIR_ICON, 0, 0, 0};
    return RemoteRect(process, list, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), in);
}

int ColumnWidth(HWND list, int column)
{
    return static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

std::wstring WindowText(HWND window)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

/// The list's columns at 96 DPI, as string 102 gives them.
const struct {
    const wchar_t* title;
    int width;
} kColumns[] = {{L"Preview", 100}, {L"Software", 120}, {L"Versione", 80},
                {L"Disponibile", 90}, {L"Azione", 80}, {L"Titolo", 300}};
constexpr int kThumbnailSide = 48;

void ExpectListAtDpi(HANDLE process, HWND list, UINT dpi)
{
    for (int column = 0; column < 6; ++column)
        EXPECT_NEAR(Scaled(kColumns[column].width, dpi), ColumnWidth(list, column), 1)
            << "column " << column << " at " << dpi << " DPI";
    RECT cell = ThumbnailCell(process, list, 0);
    EXPECT_NEAR(Scaled(kThumbnailSide, dpi), cell.right - cell.left, 2) << "thumbnail cell at " << dpi << " DPI";
    EXPECT_NEAR(Scaled(kThumbnailSide, dpi), cell.bottom - cell.top, 2) << "thumbnail cell at " << dpi << " DPI";
    RECT row = RemoteRect(process, list, LVM_GETITEMRECT, 0, RECT{LVIR_BOUNDS, 0, 0, 0});
    EXPECT_GE(row.bottom - row.top, Scaled(kThumbnailSide, dpi)) << "a row holds its thumbnail whole";
}

/// A launcher copy with two programs and their thumbnails, showing its list.
struct LaunchedWithThumbnails {
    LaunchedWithThumbnails()
        : server([this](const HttpRequest& request) { return StaticFiles(files)(request); })
    {
        // Thumbnails larger than the cell and of another shape: both drawn into it.
        files = {{"/sw/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/sw/") +
                                          "\r\n[TOPOCAD]\r\nSW_TYPE=1\r\nBUILD_DISP=18\r\nTITOLO=Topografia e catasto"
                                          "\r\nTHUMB=topocad.png\r\n[XYZ]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\nTHUMB=xyz.png\r\n"},
                 {"/sw/topocad.png", PngBytes(96, 96)},
                 {"/sw/xyz.png", PngBytes(120, 60)}};
        launcher.SetCatalogueUrls(server.Url("/sw/sw_index.dat"), server.Url("/sw/sw_repo.dat"));
        process = launcher.Start();
        window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
        list = GetDlgItem(window, 1000);
        ready = window && WaitUntil(20000, [&] {
                    return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 2 &&
                           FileExists(launcher.DataFolder() + L"img_sw_2.png") &&
                           GetWindowTextLengthW(GetDlgItem(window, 1010)) == 0;
                });
    }
    ~LaunchedWithThumbnails()
    {
        if (process)
            LauncherCopy::Close(process, kStartTimeout);
    }

    std::map<std::string, std::string> files;
    LoopbackServer server;
    LauncherCopy launcher;
    HANDLE process = nullptr;
    HWND window = nullptr;
    HWND list = nullptr;
    bool ready = false;
};

} // namespace

TEST(WindowLayout, ColumnsThumbnailsAndControlsFollowTheScreensDpi)
{
    const UINT dpi = ScreenDpi();
    if (const char* asked = std::getenv("MORVINDEX_TEST_DPI")) {
        ASSERT_EQ(static_cast<UINT>(std::atoi(asked)), dpi) << "the prefix's LogPixels did not reach Wine";
    }
    LaunchedWithThumbnails running;
    ASSERT_TRUE(running.ready);
    ExpectListAtDpi(running.process, running.list, dpi);

    // Every column title whole in the header's font (the dialog's, 8 points).
    HFONT font = CreateFontW(-MulDiv(8, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                             DEFAULT_CHARSET, 0, 0, 0, 0, L"MS Shell Dlg 2");
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    for (int column = 1; column < 6; ++column) {
        SIZE text = {};
        GetTextExtentPoint32W(dc, kColumns[column].title, static_cast<int>(wcslen(kColumns[column].title)), &text);
        // The header keeps a margin on each side of a title.
        EXPECT_LE(text.cx + 2 * Scaled(6, dpi), ColumnWidth(running.list, column))
            << Utf8FromWide(kColumns[column].title) << " is cut at " << dpi << " DPI";
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);

    // Every control inside the client area, and none over another (the
    // filters' frame holds its checkboxes and combos by design).
    RECT client;
    GetClientRect(running.window, &client);
    MapWindowPoints(running.window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    std::vector<std::pair<int, RECT>> controls;
    for (HWND child = GetWindow(running.window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child))
            continue;
        RECT rect;
        GetWindowRect(child, &rect);
        const int id = GetDlgCtrlID(child);
        EXPECT_TRUE(rect.left >= client.left && rect.top >= client.top && rect.right <= client.right &&
                    rect.bottom <= client.bottom)
            << "control " << id << " is cut by the window's edge at " << dpi << " DPI";
        if (id != 1019)
            controls.emplace_back(id, rect);
    }
    EXPECT_GE(controls.size(), 18u);
    for (size_t a = 0; a < controls.size(); ++a)
        for (size_t b = a + 1; b < controls.size(); ++b) {
            RECT overlap;
            EXPECT_FALSE(IntersectRect(&overlap, &controls[a].second, &controls[b].second))
                << "controls " << controls[a].first << " and " << controls[b].first << " overlap at " << dpi
                << " DPI";
        }
}

// A monitor of another DPI: Windows sends WM_DPICHANGED with the new DPI and a
// suggested rectangle (Wine never moves a window between DPIs, so the test
// sends it as Windows does); the columns and the thumbnails follow, and come
// back when the window does.
TEST(WindowLayout, MovingToAMonitorOfAnotherDpiScalesColumnsAndThumbnails)
{
    const UINT dpi = ScreenDpi();
    LaunchedWithThumbnails running;
    ASSERT_TRUE(running.ready);
    // A user's own column width is kept in proportion.
    SendMessageW(running.list, LVM_SETCOLUMNWIDTH, 1, MAKELPARAM(Scaled(160, dpi), 0));

    const UINT other = dpi == 96 ? 192 : 96;
    auto moveTo = [&](UINT target) {
        RECT window;
        GetWindowRect(running.window, &window);
        RECT suggested = {window.left, window.top,
                          window.left + MulDiv(window.right - window.left, static_cast<int>(target), static_cast<int>(dpi)),
                          window.top + MulDiv(window.bottom - window.top, static_cast<int>(target), static_cast<int>(dpi))};
        auto* remote = static_cast<RECT*>(
            VirtualAllocEx(running.process, nullptr, sizeof(RECT), MEM_COMMIT, PAGE_READWRITE));
        ASSERT_NE(nullptr, remote);
        WriteProcessMemory(running.process, remote, &suggested, sizeof(suggested), nullptr);
        SendMessageW(running.window, WM_DPICHANGED, MAKEWPARAM(target, target), reinterpret_cast<LPARAM>(remote));
        VirtualFreeEx(running.process, remote, 0, MEM_RELEASE);
    };
    moveTo(other);
    EXPECT_NEAR(Scaled(160, other), ColumnWidth(running.list, 1), 2);
    EXPECT_NEAR(Scaled(80, other), ColumnWidth(running.list, 2), 1);
    EXPECT_NEAR(Scaled(300, other), ColumnWidth(running.list, 5), 1);
    RECT cell = ThumbnailCell(running.process, running.list, 0);
    EXPECT_NEAR(Scaled(kThumbnailSide, other), cell.right - cell.left, 2);

    moveTo(dpi);
    EXPECT_NEAR(Scaled(160, dpi), ColumnWidth(running.list, 1), 2);
    EXPECT_NEAR(Scaled(80, dpi), ColumnWidth(running.list, 2), 1);
    EXPECT_NEAR(Scaled(300, dpi), ColumnWidth(running.list, 5), 1);
    cell = ThumbnailCell(running.process, running.list, 0);
    EXPECT_NEAR(Scaled(kThumbnailSide, dpi), cell.right - cell.left, 2);
    EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(running.process, 0)) << "the launcher keeps running";
}

// The keyboard reaches every control in reading order, each command has a
// letter of its own, and a screen reader reads each row by the program's name
// and title (the first column shows only the thumbnail).
TEST(WindowLayout, KeyboardOrderMnemonicsAndRowNamesForScreenReaders)
{
    LaunchedWithThumbnails running;
    ASSERT_TRUE(running.ready);

    std::vector<int> tabOrder;
    std::map<wchar_t, std::vector<int>> letters;
    int previous = 0;
    for (HWND child = GetWindow(running.window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const int id = GetDlgCtrlID(child);
        if (GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP)
            tabOrder.push_back(id);
        const std::wstring text = WindowText(child);
        const size_t mark = text.find(L'&');
        if (mark != std::wstring::npos && mark + 1 < text.size())
            letters[static_cast<wchar_t>(towlower(text[mark + 1]))].push_back(id);
        // A caption's letter moves to the combo after it.
        if (previous == 1027) {
            EXPECT_EQ(1028, id);
        }
        if (previous == 1021) {
            EXPECT_EQ(1012, id);
        }
        previous = id;
    }
    EXPECT_EQ((std::vector<int>{1003, 1004, 1028, 1015, 1012, 1000, 1014, 1013, 1008, 1011, IDOK}), tabOrder);
    for (int id : {1003, 1004, 1027, 1015, 1021, 1014, 1013, 1008, 1011, IDOK})
        EXPECT_NE(std::wstring::npos, WindowText(GetDlgItem(running.window, id)).find(L'&')) << "control " << id;
    HMENU menu = GetMenu(running.window);
    for (int item = 0; menu && item < GetMenuItemCount(menu); ++item) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(item), text, 64, MF_BYPOSITION);
        const wchar_t* mark = wcschr(text, L'&');
        ASSERT_NE(nullptr, mark) << Utf8FromWide(text);
        letters[static_cast<wchar_t>(towlower(mark[1]))].push_back(-item - 1);
    }
    for (const auto& letter : letters)
        EXPECT_EQ(1u, letter.second.size()) << "the letter " << static_cast<char>(letter.first)
                                            << " belongs to more than one control";

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        // The 64-bit Wine hands no accessible object to another process, not
        // even a plain button's (E_NOINTERFACE); the rows' names are then
        // checked in the list's own process only (ReportList tests).
        IAccessible* accessible = nullptr;
        if (FAILED(AccessibleObjectFromWindow(GetDlgItem(running.window, IDOK), static_cast<DWORD>(OBJID_CLIENT),
                                              IID_IAccessible, reinterpret_cast<void**>(&accessible)))) {
            std::cout << "[ NOTE     ] no accessible object crosses processes here; row names not read\n";
            CoUninitialize();
            return;
        }
        accessible->Release();
        accessible = nullptr;
        ASSERT_EQ(S_OK, AccessibleObjectFromWindow(running.list, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                                   reinterpret_cast<void**>(&accessible)));
        std::vector<std::wstring> names;
        for (LONG child = 1; child <= 2; ++child) {
            VARIANT id;
            VariantInit(&id);
            id.vt = VT_I4;
            id.lVal = child;
            BSTR name = nullptr;
            EXPECT_EQ(S_OK, accessible->get_accName(id, &name));
            names.push_back(name ? name : L"");
            SysFreeString(name);
        }
        accessible->Release();
        EXPECT_EQ((std::vector<std::wstring>{L"TOPOCAD, Topografia e catasto", L"XYZ"}), names);
    }
    CoUninitialize();
}
