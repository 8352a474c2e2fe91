#include "store/FileNames.h"

#include <cstring>

namespace {

char UpperAsciiChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows opens these as devices whatever extension follows.
bool IsDeviceName(const std::string& name)
{
    std::string stem = name.substr(0, name.find('.'));
    // "NUL .txt" is NUL too: trailing spaces of the stem do not count.
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = UpperAsciiChar(c);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device)
            return true;
    // COM1-9 and LPT1-9, also with the superscript digits ¹ ² ³ (as UTF-8).
    if (stem.size() >= 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0)) {
        std::string digit = stem.substr(3);
        if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9')
            return true;
        if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3")
            return true;
    }
    return false;
}

} // namespace

bool IsSafeFileName(const std::string& name, size_t maxLength)
{
    if (name.empty() || name.size() > maxLength || name == "." || name == "..")
        return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c))
            return false;
    }
    if (name.back() == '.' || name.back() == ' ')
        return false;
    return !IsDeviceName(name);
}
