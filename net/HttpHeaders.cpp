// Readers of the Content-Length and Content-Range answer headers.
#include "net/HttpHeaders.h"

#include <cstdlib>
#include <cstring>
#include <limits>

bool ParseContentRange(const std::string& text, ContentRange& range)
{
    // "bytes first-last/total", blanks allowed around the parts.
    const char* p = text.c_str();
    auto blanks = [&p] {
        while (*p == ' ' || *p == '\t')
            ++p;
    };
    auto number = [&p](uint64_t& value) {
        if (*p < '0' || *p > '9')
            return false;
        value = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (value > (std::numeric_limits<uint64_t>::max() - 9) / 10)
                return false;
            value = value * 10 + static_cast<uint64_t>(*p - '0');
        }
        return true;
    };
    blanks();
    if (_strnicmp(p, "bytes", 5) != 0)
        return false;
    p += 5;
    blanks();
    ContentRange parsed;
    if (!number(parsed.first) || *p++ != '-' || !number(parsed.last) || *p++ != '/')
        return false;
    if (*p == '*') {
        ++p;
    } else {
        if (!number(parsed.total))
            return false;
        parsed.totalKnown = true;
    }
    blanks();
    if (*p != '\0' || parsed.first > parsed.last || (parsed.totalKnown && parsed.last >= parsed.total))
        return false;
    range = parsed;
    return true;
}

uint64_t ParseLength(const std::string& text, bool& present)
{
    present = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return present ? std::strtoull(text.c_str(), nullptr, 10) : 0;
}
