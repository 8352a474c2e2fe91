// The report list: creation and styles, columns and rows with their values,
// fonts and colours, custom draw, and sorting on header clicks.
#include "ui/ReportCtrl.h"

#include "store/Text.h"
#include "ui/Dpi.h"
#include "ui/ListRows.h"
#include "ui/ReportAccessible.h"

#include <shlwapi.h>

#include <algorithm>
#include <memory>
#include <numeric>

namespace {

constexpr DWORD kForcedStyles = WS_CHILD | WS_VISIBLE | WS_HSCROLL | WS_VSCROLL | LVS_SHOWSELALWAYS | LVS_REPORT;
constexpr DWORD kRemovedStyles = LVS_TYPEMASK | LVS_EDITLABELS | LVS_OWNERDATA;

} // namespace

CReportCtrl::~CReportCtrl()
{
    ClearRows();
    for (HFONT font : m_fonts)
        DeleteObject(font);
    if (m_linkFont)
        DeleteObject(m_linkFont);
}

bool CReportCtrl::PreCreateWindow(CREATESTRUCTW& create)
{
    create.style = (create.style & ~kRemovedStyles) | kForcedStyles;
    return true;
}

bool CReportCtrl::Create(HWND parent, int id, const RECT& rect, DWORD style)
{
    CREATESTRUCTW create = {};
    create.style = static_cast<LONG>(style);
    create.x = rect.left;
    create.y = rect.top;
    create.cx = rect.right - rect.left;
    create.cy = rect.bottom - rect.top;
    if (!PreCreateWindow(create))
        return false;
    HWND window = CreateWindowExW(0, WC_LISTVIEWW, L"", static_cast<DWORD>(create.style), create.x, create.y,
                                  create.cx, create.cy, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  GetModuleHandleW(nullptr), nullptr);
    return window && SubclassDlgItem(id, parent);
}

BOOL CReportCtrl::AcceptLinkCell(int, int, LPARAM) { return TRUE; }

bool CReportCtrl::PreTranslateMessage(MSG* msg)
{
    return msg->hwnd == m_hWnd && msg->message == WM_KEYDOWN && msg->wParam == VK_SPACE;
}

void CReportCtrl::ForceStyles()
{
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    style = (style & ~static_cast<LONG_PTR>(kRemovedStyles)) | kForcedStyles;
    SetWindowLongPtrW(m_hWnd, GWL_STYLE, style);
    SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_SUBITEMIMAGES);
}

void CReportCtrl::PreSubclassWindow() { ForceStyles(); }

int CReportCtrl::AddFont(const LOGFONTW& font)
{
    m_fonts.push_back(CreateFontIndirectW(&font));
    return static_cast<int>(m_fonts.size()) - 1;
}

void CReportCtrl::SetLinkFont(const LOGFONTW& font)
{
    if (m_linkFont)
        DeleteObject(m_linkFont);
    m_linkFont = CreateFontIndirectW(&font);
}

void CReportCtrl::SetItemFont(int row, int column, int fontIndex)
{
    RowData* data = Row(row);
    if (data && column >= 0 && column < m_columnCount)
        data->fonts[column] = fontIndex;
}

int CReportCtrl::CommonControlsMajorVersion() const
{
    static const int major = [] {
        HMODULE library = GetModuleHandleW(L"comctl32.dll");
        if (!library)
            return 0;
        auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(
            reinterpret_cast<void*>(GetProcAddress(library, "DllGetVersion")));
        DLLVERSIONINFO info = {};
        info.cbSize = sizeof(info);
        return getVersion && SUCCEEDED(getVersion(&info)) ? static_cast<int>(info.dwMajorVersion) : 0;
    }();
    return major;
}

CReportCtrl::RowData* CReportCtrl::Row(int row) const
{
    // One message: a row the list does not have answers with no data.
    if (row < 0)
        return nullptr;
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!SendMessageW(LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
        return nullptr;
    return reinterpret_cast<RowData*>(item.lParam);
}

void CReportCtrl::ClearRows()
{
    if (!m_hWnd || !IsWindow(m_hWnd))
        return;
    for (int row = 0; row < GetItemCount(); ++row) {
        delete Row(row);
        SetItemLParam(row, 0);
    }
}

void CReportCtrl::SetDpi(UINT dpi)
{
    if (dpi == 0 || dpi == m_dpi)
        return;
    for (int column = 0; m_hWnd && column < GetColumnCount(); ++column) {
        int width = static_cast<int>(SendMessageW(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column)));
        SendMessageW(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                     MAKELPARAM(MulDiv(width, static_cast<int>(dpi), static_cast<int>(m_dpi)), 0));
    }
    m_dpi = dpi;
}

bool CReportCtrl::SetColumnHeader(const std::wstring& specification)
{
    m_specification = specification;
    DeleteAllItems();
    while (GetColumnCount() > 0 && DeleteColumn(0)) {
    }
    m_sortColumns.clear();
    bool added = false;
    for (const ColumnSpec& column : ParseColumnSpec(specification)) {
        int format = column.alignment == 1 ? LVCFMT_CENTER : column.alignment == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT;
        added = InsertColumn(GetColumnCount(), column.title, format, ScaleForDpi(column.width, m_dpi)) >= 0 || added;
    }
    m_columnCount = GetColumnCount();
    return added;
}

int CReportCtrl::InsertItem(int index, const std::vector<std::string>& texts)
{
    // Inserting makes the current order unsorted.
    m_sortColumns.clear();
    m_ascending = true;
    std::wstring first = texts.empty() ? std::wstring() : WideFromUtf8(texts[0]);
    // The row's data goes in with the insertion itself.
    auto data = std::make_unique<RowData>();
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = index;
    item.pszText = const_cast<wchar_t*>(first.c_str());
    item.lParam = reinterpret_cast<LPARAM>(data.get());
    int row = static_cast<int>(SendMessageW(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (row < 0)
        return row;
    data.release();
    for (int column = 1; column < m_columnCount && column < static_cast<int>(texts.size()); ++column)
        SetItemText(row, column, WideFromUtf8(texts[static_cast<size_t>(column)]));
    return row;
}

int CReportCtrl::DeleteAllItems()
{
    int count = GetItemCount();
    ClearRows();
    SendMessageW(LVM_DELETEALLITEMS);
    return count;
}

LPARAM CReportCtrl::GetItemData(int row) const
{
    RowData* data = Row(row);
    return data ? data->value : 0;
}

bool CReportCtrl::SetItemData(int row, LPARAM value)
{
    RowData* data = Row(row);
    if (!data)
        return false;
    data->value = value;
    return true;
}

void CReportCtrl::SetItemTextColor(int row, int column, COLORREF colour)
{
    RowData* data = Row(row);
    if (data && column >= -1 && column < m_columnCount)
        data->textColours[column] = colour;
}

void CReportCtrl::SetItemBkColor(int row, int column, COLORREF colour)
{
    RowData* data = Row(row);
    if (data && column >= -1 && column < m_columnCount)
        data->backgroundColours[column] = colour;
}

LRESULT CReportCtrl::OnCustomDraw(NMLVCUSTOMDRAW* draw)
{
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        // What every cell of this paint asks, asked once: each question is a
        // message to the list.
        m_paintFocused = GetFocus() == m_hWnd;
        m_paintAnySelected = GetNextItem(-1, LVNI_SELECTED) >= 0;
        m_paintTextColour = GetTextColor();
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        // Selected rows take the owner's selection colours, drawn per cell below.
        if (draw->nmcd.uItemState & CDIS_SELECTED) {
            draw->nmcd.uItemState &= ~(CDIS_SELECTED | CDIS_FOCUS);
            m_drawingSelected = true;
        } else {
            m_drawingSelected = false;
        }
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
        const int row = static_cast<int>(draw->nmcd.dwItemSpec);
        const int column = draw->iSubItem;
        RowData* data = reinterpret_cast<RowData*>(draw->nmcd.lItemlParam);
        auto pick = [column](const std::map<int, COLORREF>& colours, COLORREF& out) {
            auto it = colours.find(column);
            if (it == colours.end())
                it = colours.find(-1);
            if (it == colours.end())
                return false;
            out = it->second;
            return true;
        };
        auto columnValue = [column](const auto& map, auto& out) {
            auto it = map.find(column);
            if (it == map.end())
                return false;
            out = it->second;
            return true;
        };
        // The font: the row's own for the cell, else the link font of a link column.
        HFONT font = nullptr;
        bool linkFont = false;
        int fontIndex = -1;
        DWORD flags = 0;
        if (data && columnValue(data->fonts, fontIndex) && fontIndex >= 0 &&
            static_cast<size_t>(fontIndex) < m_fonts.size()) {
            font = m_fonts[static_cast<size_t>(fontIndex)];
        } else if (m_linkFont && columnValue(m_columnFlags, flags) && (flags & kLinkColumn) &&
                   AcceptLinkCell(row, column, data ? data->value : 0)) {
            font = m_linkFont;
            linkFont = true;
        }
        COLORREF text = CLR_INVALID;
        if (!(data && pick(data->textColours, text)) && !columnValue(m_columnText, text))
            text = linkFont ? RGB(0, 0, 255) : m_paintTextColour;
        draw->clrText = text;
        COLORREF background = CLR_DEFAULT;
        if (!(data && pick(data->backgroundColours, background)) && !columnValue(m_columnBackground, background)) {
            if (m_paintFocused || m_alternateMode == 2 || !m_paintAnySelected) {
                if (m_alternateMode == 1)
                    background = m_alternate[row & 1];
                else if (m_alternateMode == 2)
                    background = m_alternate[column & 1];
            }
        }
        draw->clrTextBk = background;
        if (m_drawingSelected) {
            draw->nmcd.uItemState &= ~(CDIS_SELECTED | CDIS_FOCUS);
            draw->clrText = m_selectionText;
            draw->clrTextBk = m_selectionBackground;
        }
        if (font) {
            HGDIOBJ replaced = SelectObject(draw->nmcd.hdc, font);
            if (!m_savedFont)
                m_savedFont = static_cast<HFONT>(replaced);
            return CDRF_NEWFONT;
        }
        if (m_savedFont) {
            SelectObject(draw->nmcd.hdc, m_savedFont);
            m_savedFont = nullptr;
            return CDRF_NEWFONT;
        }
        return CDRF_NOTIFYPOSTPAINT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

bool CReportCtrl::OnReflectedNotify(NMHDR* header, LRESULT& result)
{
    if (header->code == NM_CUSTOMDRAW) {
        result = OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
        return true;
    }
    if (header->code == LVN_COLUMNCLICK) {
        OnColumnClick(reinterpret_cast<NMLISTVIEW*>(header)->iSubItem);
        result = 0;
        return false; // the owner may still hear of it
    }
    return false;
}

void CReportCtrl::OnColumnClick(int column)
{
    bool control = (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
    if (control) {
        auto found = std::find(m_sortColumns.begin(), m_sortColumns.end(), column);
        if (found != m_sortColumns.end()) {
            m_ascending = !m_ascending;
        } else {
            m_sortColumns.push_back(column);
            m_ascending = true;
        }
        SortItems(-1, m_ascending);
        return;
    }
    if (m_sortColumns.size() == 1 && m_sortColumns[0] == column)
        m_ascending = !m_ascending;
    else if (!m_sortColumns.empty())
        m_ascending = true;
    SortItems(column, m_ascending);
}

void CReportCtrl::RestoreSortColumns(const std::vector<int>& columns)
{
    m_sortColumns = columns;
    SortItems(-1, true);
}

void CReportCtrl::SortItems(int column, bool ascending)
{
    HWND header = GetHeaderCtrl();
    if (!header || (GetWindowLongPtrW(m_hWnd, GWL_STYLE) & LVS_NOSORTHEADER))
        return;
    if (column >= 0)
        m_sortColumns.assign(1, column);
    m_ascending = ascending;
    UpdateHeaderArrows();

    // Capture every row once, order the indices, write the rows back.
    struct Captured {
        UINT state;
        LPARAM data;
        std::vector<SortKey> cells;
    };
    const int rows = GetItemCount();
    const int columns = GetColumnCount();
    std::vector<Captured> captured(static_cast<size_t>(rows));
    for (int row = 0; row < rows; ++row) {
        Captured& c = captured[static_cast<size_t>(row)];
        c.state = GetItemState(row, LVIS_SELECTED | LVIS_FOCUSED | LVIS_STATEIMAGEMASK);
        c.data = GetItemLParam(row);
        for (int col = 0; col < columns; ++col)
            c.cells.emplace_back(GetItemText(row, col), GetItemImage(row, col));
    }
    std::vector<size_t> order(captured.size());
    std::iota(order.begin(), order.end(), 0);
    auto compare = [&](size_t a, size_t b) {
        for (int col : m_sortColumns) {
            if (col < 0 || col >= columns)
                continue;
            size_t c = static_cast<size_t>(col);
            int result = CompareKeys(captured[a].cells[c], captured[b].cells[c]);
            if (result != 0)
                return m_ascending ? result : -result;
        }
        return 0;
    };
    SortRowOrder(order, compare);
    // One redraw at the end instead of one per cell.
    ::SendMessageW(m_hWnd, WM_SETREDRAW, FALSE, 0);
    for (int row = 0; row < rows; ++row) {
        const Captured& c = captured[order[static_cast<size_t>(row)]];
        SetItemLParam(row, c.data);
        SetItemState(row, c.state, LVIS_SELECTED | LVIS_FOCUSED | LVIS_STATEIMAGEMASK);
        for (int col = 0; col < columns; ++col) {
            SetItemText(row, col, c.cells[static_cast<size_t>(col)].text);
            SetItemImage(row, col, c.cells[static_cast<size_t>(col)].image);
        }
    }
    ::SendMessageW(m_hWnd, WM_SETREDRAW, TRUE, 0);
    Invalidate(false);
    ::SendMessageW(GetParent(m_hWnd), kReportSortedMessage, static_cast<WPARAM>(column), m_ascending);
}

void CReportCtrl::UpdateHeaderArrows()
{
    HWND header = GetHeaderCtrl();
    const bool arrows = CommonControlsMajorVersion() > 5;
    int count = static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        const bool sorted = std::find(m_sortColumns.begin(), m_sortColumns.end(), i) != m_sortColumns.end();
        wchar_t title[260] = {};
        HDITEMW item = {};
        item.mask = HDI_FORMAT | HDI_TEXT;
        item.pszText = title;
        item.cchTextMax = 259;
        ::SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        item.mask = HDI_FORMAT;
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (arrows) {
            if (sorted)
                item.fmt |= m_ascending ? HDF_SORTUP : HDF_SORTDOWN;
        } else {
            // Older common controls have no arrows: a "*" marks the sorted titles.
            std::wstring text = title;
            const bool marked = !text.empty() && text.back() == L'*';
            if (sorted && !marked)
                text += L'*';
            else if (!sorted && marked)
                text.pop_back();
            lstrcpynW(title, text.c_str(), 260);
            item.mask |= HDI_TEXT;
        }
        ::SendMessageW(header, HDM_SETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    }
}

LRESULT CReportCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        // The alternating colours depend on the focus.
        LRESULT result = Default(message, wParam, lParam);
        InvalidateRect(m_hWnd, nullptr, TRUE);
        return result;
    }
    case WM_KEYDOWN:
    case WM_CHAR:
        if (wParam == VK_SPACE || wParam == L' ')
            return 0; // Space neither selects nor checks
        break;
    case WM_GETOBJECT:
        // A screen reader asks for the list: rows named by the owner's columns.
        if (static_cast<LONG>(static_cast<DWORD>(lParam)) == OBJID_CLIENT && !m_accessibleNameColumns.empty()) {
            if (IAccessible* accessible = CreateReportAccessible(m_hWnd, m_accessibleNameColumns)) {
                LRESULT result = LresultFromObject(__uuidof(IAccessible), wParam, accessible);
                accessible->Release();
                return result;
            }
        }
        break;
    case WM_DESTROY:
        ClearRows();
        SendMessageW(LVM_DELETEALLITEMS);
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}
