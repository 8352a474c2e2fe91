// Safe file names (no control or reserved characters, device names, trailing
// dot or space), the file system's case folding, and the one ordinal name
// comparison with case ignored.
#include "store/FileNames.h"

#include "store/Text.h"

#include <windows.h>

#include <string_view>

namespace {

char UpperAsciiChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows opens these as devices whatever extension follows.
bool IsDeviceName(std::string_view name)
{
    std::string_view stem = name.substr(0, name.find('.'));
    // "NUL .txt" is NUL too: trailing spaces of the stem do not count.
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    // No device name is longer than CONOUT$ or COM with a superscript digit.
    char upper[7];
    if (stem.size() > sizeof upper)
        return false;
    for (size_t i = 0; i < stem.size(); ++i)
        upper[i] = UpperAsciiChar(stem[i]);
    stem = std::string_view(upper, stem.size());
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device)
            return true;
    // COM1-9 and LPT1-9, also with the superscript digits ¹ ² ³ (as UTF-8).
    if (stem.size() >= 4 && (stem.substr(0, 3) == "COM" || stem.substr(0, 3) == "LPT")) {
        const std::string_view digit = stem.substr(3);
        if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9')
            return true;
        if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3")
            return true;
    }
    return false;
}

// The characters a file name may not hold besides control characters.
bool IsReservedChar(char c)
{
    switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return true;
    default:
        return false;
    }
}

} // namespace

bool IsSafeFileName(const std::string& name, size_t maxLength)
{
    if (name.empty() || name.size() > maxLength || name == "." || name == "..")
        return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || IsReservedChar(c))
            return false;
    }
    if (name.back() == '.' || name.back() == ' ')
        return false;
    return !IsDeviceName(name);
}

std::wstring FoldedFileName(const std::wstring& name)
{
    // Upper case without linguistic casing is the file system's own table.
    std::wstring folded = name;
    if (!folded.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()), &folded[0],
                      static_cast<int>(folded.size()), nullptr, nullptr, 0);
    return folded;
}

std::string FoldedFileName(const std::string& utf8Name)
{
    return Utf8FromWide(FoldedFileName(WideFromUtf8(utf8Name)));
}

namespace {

// Ordinal comparison with case ignored folds with the same table as
// FoldedFileName, without building the folded copies.
int CompareFileNames(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE);
}

} // namespace

bool SameFileName(const std::wstring& a, const std::wstring& b) { return CompareFileNames(a, b) == CSTR_EQUAL; }

bool FileNameLess::operator()(const std::wstring& a, const std::wstring& b) const
{
    return CompareFileNames(a, b) == CSTR_LESS_THAN;
}
