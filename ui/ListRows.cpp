// The report list's rows: filters, row pictures, cell comparison, the
// column specification and the sort of the rows' order.
#include "ui/ListRows.h"

#include <windows.h>

#include <oleauto.h>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <cwchar>
#include <utility>
#include <cwctype>

bool RecordVisible(const SoftwareRecord& record, const ListFilter& filter)
{
    return record.type < 10 && (!filter.onlyInstalled || !record.installedFolder.empty()) &&
           (!filter.categorySelected || record.category == filter.category) &&
           (!filter.onlyFavourites || !record.favourite.empty());
}

std::vector<size_t> VisibleRecords(const std::vector<SoftwareRecord>& catalogue, const ListFilter& filter)
{
    std::vector<size_t> shown;
    for (size_t i = 0; i < catalogue.size(); ++i)
        if (RecordVisible(catalogue[i], filter))
            shown.push_back(i);
    return shown;
}

StandardImage ProgramTypeImage(const SoftwareRecord& record)
{
    return record.type == 0 ? kConsoleProgram : kWindowProgram;
}

StandardImage StatusImage(const SoftwareRecord& record)
{
    if (record.installedBuild < 1)
        return kNotInstalled;
    if (record.installedBuild < record.availableBuild)
        return kUpdateAvailable;
    return kUpToDate;
}

namespace {

bool ReadHex(const std::wstring& text, unsigned long long& value)
{
    if (text.empty() || text.size() > 16)
        return false;
    value = 0;
    for (wchar_t c : text) {
        int digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else
            return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

bool ReadDecimal(const std::wstring& text, double& value)
{
    if (text.empty() || iswspace(text[0]))
        return false;
    wchar_t* end = nullptr;
    value = wcstod(text.c_str(), &end);
    if (end == text.c_str())
        return false;
    return *end == L'\0' || (end[0] == L'%' && end[1] == L'\0');
}

bool ReadDate(const std::wstring& text, double& value)
{
    DATE date = 0;
    if (FAILED(VarDateFromStr(const_cast<OLECHAR*>(text.c_str()), LOCALE_USER_DEFAULT, 0, &date)))
        return false;
    value = date;
    return true;
}

template <typename T> int Order(T a, T b) { return a < b ? -1 : (b < a ? 1 : 0); }

} // namespace

SortKey::SortKey(std::wstring cellText, int cellImage) : text(std::move(cellText)), image(cellImage)
{
    isHex = ReadHex(text, hex);
    isDecimal = ReadDecimal(text, decimal);
}

bool SortKey::Date(double& value) const
{
    // Parsing a date is by far the dearest step: once per cell, and only
    // when a comparison comes to it.
    if (dateState < 0)
        dateState = ReadDate(text, date) ? 1 : 0;
    value = date;
    return dateState == 1;
}

int CompareKeys(const SortKey& a, const SortKey& b)
{
    if (a.text.empty() && b.text.empty()) {
        if (int order = Order(a.image, b.image))
            return order;
    }
    if (!a.text.empty() && !b.text.empty()) {
        double dateA, dateB;
        if (a.isHex && b.isHex) {
            if (int order = Order(a.hex, b.hex))
                return order;
        } else if (a.isDecimal && b.isDecimal) {
            if (int order = Order(a.decimal, b.decimal))
                return order;
        } else if (a.Date(dateA) && b.Date(dateB)) {
            if (int order = Order(dateA, dateB))
                return order;
        }
    }
    return Order(a.text, b.text);
}

int CompareCells(const std::wstring& a, int imageA, const std::wstring& b, int imageB)
{
    return CompareKeys(SortKey(a, imageA), SortKey(b, imageB));
}

std::vector<ColumnSpec> ParseColumnSpec(const std::wstring& text)
{
    std::vector<ColumnSpec> columns;
    std::vector<std::wstring> pieces;
    boost::algorithm::split(pieces, text, [](wchar_t c) { return c == L';'; });
    for (const std::wstring& piece : pieces) {
        std::vector<std::wstring> parts;
        boost::algorithm::split(parts, piece, [](wchar_t c) { return c == L','; });
        std::vector<std::wstring> kept;
        for (const std::wstring& part : parts)
            if (!part.empty())
                kept.push_back(part);
        if (kept.empty())
            continue;
        ColumnSpec column;
        column.title = boost::algorithm::trim_copy(kept[0]);
        if (kept.size() > 1)
            column.width = static_cast<int>(wcstol(kept[1].c_str(), nullptr, 10));
        if (kept.size() > 2)
            column.alignment = static_cast<int>(wcstol(kept[2].c_str(), nullptr, 10));
        columns.push_back(column);
    }
    return columns;
}

namespace {

void SortRange(std::vector<size_t>& order, long low, long high, const std::function<int(size_t, size_t)>& compare)
{
    while (low < high) {
        const size_t pivot = order[static_cast<size_t>(low + (high - low) / 2)];
        long i = low;
        long j = high;
        while (i <= j) {
            while (i <= high && compare(order[static_cast<size_t>(i)], pivot) < 0)
                ++i;
            while (j >= low && compare(pivot, order[static_cast<size_t>(j)]) < 0)
                --j;
            if (i <= j) {
                std::swap(order[static_cast<size_t>(i)], order[static_cast<size_t>(j)]);
                ++i;
                --j;
            }
        }
        // Both parts are strictly smaller than [low, high]: j < high and i > low.
        if (low < j)
            SortRange(order, low, j, compare);
        low = i;
    }
}

} // namespace

void SortRowOrder(std::vector<size_t>& order, const std::function<int(size_t, size_t)>& compare)
{
    if (order.size() > 1)
        SortRange(order, 0, static_cast<long>(order.size()) - 1, compare);
}
