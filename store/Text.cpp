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

std::wstring WidePath(const std::string& path)
{
    if (path.empty())
        return std::wstring();
    std::wstring strict = WideFromNarrow(path, CP_UTF8, MB_ERR_INVALID_CHARS);
    return strict.empty() ? WideFromAnsi(path) : strict;
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
