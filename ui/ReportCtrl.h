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

    ~CReportCtrl() override;

    /// Replaces every column from "Title,width[,align];..."; true when any was added.
    bool SetColumnHeader(const std::wstring& specification);
    /// Inserts a row (0x7FFFFFFF appends) with one UTF-8 text per column;
    /// returns its index, or a negative value when the list refuses it.
    int InsertItem(int index, const std::vector<std::string>& texts);
    /// Frees every row's data and empties the list; returns the former count.
    int DeleteAllItems();

    /// The owner's value of a row (0 for a row the list does not have).
    LPARAM GetRowValue(int row) const;
    bool SetRowValue(int row, LPARAM value);
    /// Colours of one cell, or of the whole row with column -1.
    void SetItemTextColor(int row, int column, COLORREF colour);
    void SetItemBkColor(int row, int column, COLORREF colour);

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
    void PreSubclassWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnReflectedNotify(NMHDR* header, LRESULT& result) override;

private:
    struct RowData {
        LPARAM value = 0;
        std::map<int, COLORREF> textColours;       // -1 = whole row
        std::map<int, COLORREF> backgroundColours; // -1 = whole row
    };

    RowData* Row(int row) const;
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw);
    void OnColumnClick(int column);
    void UpdateHeaderArrows();
    void ClearRows();

    std::wstring m_specification;
    std::vector<int> m_sortColumns;
    bool m_ascending = true;
    int m_alternateMode = 1;
    COLORREF m_alternate[2] = {RGB(255, 255, 255), RGB(240, 240, 240)};
    COLORREF m_selectionBackground = GetSysColor(COLOR_HIGHLIGHT);
    COLORREF m_selectionText = GetSysColor(COLOR_HIGHLIGHTTEXT);
    bool m_drawingSelected = false; // the row being drawn is selected
};
