// The report list of the main dialog: columns declared by one text, rows that
// carry the owner's value and their own colours, drawn through custom draw,
// and sorted by one or several columns on header clicks.
#pragma once

#include "framework/Controls.h"

#include <map>
#include <set>
#include <string>
#include <vector>

/// Sent to the parent after every sort: column (or -1) and the ascending flag.
constexpr UINT kReportSortedMessage = 0xA711;

class CReportCtrl : public CListCtrl {
public:
    /// Nested header helper kept for layout compatibility; nothing depends on it.
    class CReportHeaderCtrl {
    public:
        virtual ~CReportHeaderCtrl() = default;

    private:
        std::vector<int> m_items;
        std::map<int, int> m_map;
        bool m_flag = true;
    };

    /// Column flag: the column's cells are links (drawn in the link font, blue).
    static constexpr DWORD kLinkColumn = 2;

    ~CReportCtrl() override;

    /// Creates the list as a child of parent with the forced report styles.
    virtual bool Create(HWND parent, int id, const RECT& rect, DWORD style);
    /// The owner's link filter: whether a cell of a link column is drawn as a
    /// link. Every cell is, unless a derived class says otherwise.
    virtual BOOL AcceptLinkCell(int row, int column, LPARAM value);

    bool PreCreateWindow(CREATESTRUCTW& create) override;
    /// Space is swallowed before it reaches the list (it neither selects nor checks).
    bool PreTranslateMessage(MSG* msg) override;

    /// The DPI of the window: the widths a column list gives are pixels at
    /// 96 DPI. A change scales the columns' present widths (a user's too).
    void SetDpi(UINT dpi);
    /// The columns whose texts name a row for screen readers (joined by ", ",
    /// empty ones left out); none leaves the system's naming.
    void SetAccessibleNameColumns(std::vector<int> columns) { m_accessibleNameColumns = std::move(columns); }
    /// Replaces every column from "Title,width[,align];..."; true when any was added.
    bool SetColumnHeader(const std::wstring& specification);
    /// Inserts a row (0x7FFFFFFF appends) with one UTF-8 text per column;
    /// returns its index, or a negative value when the list refuses it.
    int InsertItem(int index, const std::vector<std::string>& texts);
    /// Frees every row's data and empties the list; returns the former count.
    int DeleteAllItems();

    /// The owner's value of a row (0 for a row the list does not have).
    LPARAM GetItemData(int row) const;
    bool SetItemData(int row, LPARAM value);
    /// Colours of one cell, or of the whole row with column -1.
    void SetItemTextColor(int row, int column, COLORREF colour);
    void SetItemBkColor(int row, int column, COLORREF colour);

    /// Fonts the rows may use, by index; the link font of link columns.
    int AddFont(const LOGFONTW& font);
    void SetLinkFont(const LOGFONTW& font);
    /// Font of one cell, an index into the font table.
    void SetItemFont(int row, int column, int fontIndex);
    /// Colours and flags of a whole column, below any row's own colours.
    void SetColumnTextColor(int column, COLORREF colour) { m_columnText[column] = colour; }
    void SetColumnBkColor(int column, COLORREF colour) { m_columnBackground[column] = colour; }
    void SetColumnFlags(int column, DWORD flags) { m_columnFlags[column] = flags; }

    /// Sorts by column (or, with -1, by the current sort columns).
    void SortItems(int column, bool ascending);
    std::vector<int> GetSortColumns() const { return m_sortColumns; }
    /// Replaces the sort columns and sorts ascending by them.
    void RestoreSortColumns(const std::vector<int>& columns);
    bool IsSortAscending() const { return m_ascending; }

    void SetAlternateMode(int mode) { m_alternateMode = mode; }
    void SetSelectionColors(COLORREF background, COLORREF text)
    {
        m_selectionBackground = background;
        m_selectionText = text;
    }
    COLORREF GetSelectionBkColor() const { return m_selectionBackground; }
    COLORREF GetSelectionTextColor() const { return m_selectionText; }

protected:
    /// Major version of comctl32.dll, asked once through DllGetVersion: above
    /// 5 the header shows sort arrows, otherwise a "*" after sorted titles.
    virtual int CommonControlsMajorVersion() const;
    void PreSubclassWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnReflectedNotify(NMHDR* header, LRESULT& result) override;

private:
    struct RowData {
        LPARAM value = 0;
        std::map<int, COLORREF> textColours;       // -1 = whole row
        std::map<int, COLORREF> backgroundColours; // -1 = whole row
        std::map<int, int> fonts;                  // column -> font table index
    };

    RowData* Row(int row) const;
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw);
    void OnColumnClick(int column);
    void UpdateHeaderArrows();
    void ClearRows();
    void ForceStyles();

    std::wstring m_specification;
    UINT m_dpi = 96;
    std::vector<int> m_accessibleNameColumns;
    int m_columnCount = 0; // the columns SetColumnHeader made
    std::vector<int> m_sortColumns;
    bool m_ascending = true;
    int m_alternateMode = 1;
    COLORREF m_alternate[2] = {RGB(255, 255, 255), RGB(240, 240, 240)};
    COLORREF m_selectionBackground = GetSysColor(COLOR_HIGHLIGHT);
    COLORREF m_selectionText = GetSysColor(COLOR_HIGHLIGHTTEXT);
    bool m_drawingSelected = false; // the row being drawn is selected
    std::map<int, COLORREF> m_columnText;
    std::map<int, COLORREF> m_columnBackground;
    std::map<int, DWORD> m_columnFlags;
    std::vector<HFONT> m_fonts;
    HFONT m_linkFont = nullptr;
    HFONT m_savedFont = nullptr; // the device context's font replaced during custom draw
    // Taken at the start of each paint for all its cells.
    bool m_paintFocused = false;
    bool m_paintAnySelected = false;
    COLORREF m_paintTextColour = 0;
};
