// What the report list shows: which catalogue records pass the filters, the
// images of a row, how two cells compare and the rows' order when the list is
// sorted, and the columns its specification text declares.
#pragma once

#include "format/SoftwareRecord.h"

#include <functional>
#include <string>
#include <vector>

struct ListFilter {
    bool onlyInstalled = false;
    bool onlyFavourites = false;
    /// Narrow (UTF-8) category; applies only when categorySelected is set.
    std::string category;
    bool categorySelected = false;
};

/// Types 10 and above never show; the other tests apply when switched on.
bool RecordVisible(const SoftwareRecord& record, const ListFilter& filter);

/// Indices of the records to show, in catalogue order.
std::vector<size_t> VisibleRecords(const std::vector<SoftwareRecord>& catalogue, const ListFilter& filter);

/// The standard images of the list, by their place in the standard image table.
enum StandardImage { kPlaceholder = 0, kConsoleProgram, kWindowProgram, kUpdateAvailable, kUpToDate, kNotInstalled };

/// Table place of the picture in column 0 when the record has no thumbnail yet.
StandardImage ProgramTypeImage(const SoftwareRecord& record);
/// Table place of the status picture in column 4.
StandardImage StatusImage(const SoftwareRecord& record);

/// Compares two cells for sorting: empty texts by image index; hexadecimal
/// numbers, decimal numbers (optionally followed by "%") and dates by value;
/// otherwise, or when equal, by UTF-16 code units. Negative, zero or positive.
int CompareCells(const std::wstring& a, int imageA, const std::wstring& b, int imageB);

/// A cell read once for sorting: CompareKeys(SortKey(a, i), SortKey(b, j))
/// is CompareCells(a, i, b, j), without parsing the texts at every comparison.
struct SortKey {
    SortKey(std::wstring cellText, int cellImage);
    bool Date(double& value) const;

    std::wstring text;
    int image;
    bool isHex = false;
    unsigned long long hex = 0;
    bool isDecimal = false;
    double decimal = 0;
    mutable int dateState = -1; // unknown, no (0) or yes (1)
    mutable double date = 0;
};
int CompareKeys(const SortKey& a, const SortKey& b);

/// Orders row indices by compare (negative, zero or positive): a quicksort
/// with the middle element as pivot, recursing on the left part and looping
/// on the right. Every access stays inside order and the loops end whatever
/// compare answers, even when it is no consistent order (CompareCells mixes
/// text, hexadecimal and decimal rules); order stays a permutation.
void SortRowOrder(std::vector<size_t>& order, const std::function<int(size_t, size_t)>& compare);

/// The parts of a column specification "Title,width[,align];...".
struct ColumnSpec {
    std::wstring title;
    int width = 100;
    int alignment = 0; // 1 centred, 2 right, else left
};
std::vector<ColumnSpec> ParseColumnSpec(const std::wstring& text);
