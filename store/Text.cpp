// UTF-8, ANSI and UTF-16 conversions, a path spelt for the library in the
// ANSI code page (its short form when needed), and Win32 error texts.
#include "store/Text.h"

#include <windows.h>

namespace {

std::string NarrowFromWide(const std::wstring& text, UINT codePage)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

std::wstring WideFromNarrow(const std::string& text, UINT codePage, DWORD flags)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

} // namespace

std::string Utf8FromWide(const std::wstring& text) { return NarrowFromWide(text, CP_UTF8); }
std::wstring WideFromUtf8(const std::string& text) { return WideFromNarrow(text, CP_UTF8, 0); }
std::string AnsiFromWide(const std::wstring& text) { return NarrowFromWide(text, CP_ACP); }
std::wstring WideFromAnsi(const std::string& text) { return WideFromNarrow(text, CP_ACP, 0); }

namespace {

// The ANSI bytes of text, false when a character has no exact ANSI form.
bool ExactAnsi(const std::wstring& text, std::string& ansi)
{
    ansi.clear();
    if (text.empty())
        return true;
    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, &usedDefault);
    if (size <= 0 || usedDefault)
        return false;
    ansi.assign(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), &ansi[0], size,
                        nullptr, &usedDefault);
    return !usedDefault;
}

} // namespace

bool LibraryPath(const std::wstring& path, std::string& ansi)
{
    if (ExactAnsi(path, ansi))
        return true;
    // Shorten the longest part that exists; a missing tail (a file the library
    // is still to create) keeps its long name and must be spelt as it is.
    std::wstring head = path;
    std::wstring tail;
    while (!head.empty()) {
        DWORD size = GetShortPathNameW(head.c_str(), nullptr, 0);
        if (size > 0) {
            std::wstring shortHead(size, L'\0');
            DWORD got = GetShortPathNameW(head.c_str(), &shortHead[0], size);
            shortHead.resize(got);
            if (got > 0 && ExactAnsi(shortHead + tail, ansi))
                return true;
            break;
        }
        size_t separator = head.find_last_of(L"\\/");
        if (separator == std::wstring::npos)
            break;
        tail = head.substr(separator) + tail;
        head.resize(separator);
    }
    ansi.clear();
    return false;
}

std::string Win32ErrorText(unsigned long code)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    if (text.empty())
        return "error " + std::to_string(code);
    return Utf8FromWide(text);
}
