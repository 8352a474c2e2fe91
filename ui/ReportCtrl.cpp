#include "ui/ReportCtrl.h"

#include "store/Text.h"
#include "ui/ListRows.h"

#include <algorithm>
#include <numeric>

CReportCtrl::~CReportCtrl() { ClearRows(); }

void CReportCtrl::PreSubclassWindow()
{
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    style &= ~static_cast<LONG_PTR>(LVS_TYPEMASK | LVS_EDITLABELS | LVS_OWNERDATA);
    style |= WS_CHILD | WS_VISIBLE | WS_HSCROLL | WS_VSCROLL | LVS_SHOWSELALWAYS | LVS_REPORT;
    SetWindowLongPtrW(m_hWnd, GWL_STYLE, style);
    SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_SUBITEMIMAGES);
}

CReportCtrl::RowData* CReportCtrl::Row(int row) const
{
    if (row < 0 || row >= GetItemCount())
        return nullptr;
    return reinterpret_cast<RowData*>(GetItemLParam(row));
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
        added = InsertColumn(GetColumnCount(), column.title, format, column.width) >= 0 || added;
    }
    return added;
}

int CReportCtrl::InsertItem(int index, const std::vector<std::string>& texts)
{
    // Inserting makes the current order unsorted.
    m_sortColumns.clear();
    m_ascending = true;
    std::wstring first = texts.empty() ? std::wstring() : WideFromUtf8(texts[0]);
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = index;
    item.pszText = const_cast<wchar_t*>(first.c_str());
    item.lParam = 0;
    int row = static_cast<int>(SendMessageW(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (row < 0)
        return row;
    SetItemLParam(row, reinterpret_cast<LPARAM>(new RowData));
    int columns = GetColumnCount();
    for (int column = 1; column < columns && column < static_cast<int>(texts.size()); ++column)
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

LPARAM CReportCtrl::GetRowValue(int row) const
{
    RowData* data = Row(row);
    return data ? data->value : 0;
}

bool CReportCtrl::SetRowValue(int row, LPARAM value)
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
    if (data && column >= -1 && column < GetColumnCount())
        data->textColours[column] = colour;
}

void CReportCtrl::SetItemBkColor(int row, int column, COLORREF colour)
{
    RowData* data = Row(row);
    if (data && column >= -1 && column < GetColumnCount())
        data->backgroundColours[column] = colour;
}

LRESULT CReportCtrl::OnCustomDraw(NMLVCUSTOMDRAW* draw)
{
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
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
        COLORREF text = GetTextColor();
        if (data)
            pick(data->textColours, text);
        draw->clrText = text;
        COLORREF background = CLR_DEFAULT;
        if (!data || !pick(data->backgroundColours, background)) {
            bool anySelected = GetNextItem(-1, LVNI_SELECTED) >= 0;
            if (GetFocus() == m_hWnd || m_alternateMode == 2 || !anySelected) {
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
    int count = static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        HDITEMW item = {};
        item.mask = HDI_FORMAT;
        ::SendMessageW(header, HDM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (std::find(m_sortColumns.begin(), m_sortColumns.end(), i) != m_sortColumns.end())
            item.fmt |= m_ascending ? HDF_SORTUP : HDF_SORTDOWN;
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
    case WM_DESTROY:
        ClearRows();
        SendMessageW(LVM_DELETEALLITEMS);
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}
