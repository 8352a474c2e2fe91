// The invocation file's text for a protocol request, and its write (a copy of
// a file named on the command line, else the request's lines).
#include "launcher/HandOver.h"

#include "store/AtomicFile.h"
#include "store/Text.h"

#include <windows.h>

#include <boost/algorithm/string/split.hpp>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Every piece between separators, empty ones included.
std::vector<std::wstring> SplitAll(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> parts;
    boost::algorithm::split(parts, text, [separator](wchar_t c) { return c == separator; });
    return parts;
}

// "scheme:..." with a scheme of two characters or more, as a web page's
// request reaches us; a document's path starts with a drive letter's one
// character or with "\\" (a share).
bool IsRequestUrl(const std::wstring& argument)
{
    const auto letter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    const size_t colon = argument.find(L':');
    if (colon == std::wstring::npos || colon < 2 || !letter(argument[0]))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        const wchar_t c = argument[i];
        if (!letter(c) && !(c >= L'0' && c <= L'9') && c != L'+' && c != L'-' && c != L'.')
            return false;
    }
    return true;
}

} // namespace

std::string ProtocolRequestFileText(const std::wstring& argument)
{
    size_t colon = argument.find(L':');
    std::wstring request = colon == std::wstring::npos ? argument : argument.substr(colon + 1);
    std::wstring text;
    for (const std::wstring& token : SplitAll(request, L'&')) {
        std::vector<std::wstring> parts = SplitAll(token, L'=');
        if (parts.size() < 2)
            continue;
        std::wstring key = parts[0];
        for (wchar_t& c : key)
            if (c >= L'a' && c <= L'z')
                c = static_cast<wchar_t>(c - L'a' + L'A');
        text += key + L"=" + parts[1] + L"\r\n";
    }
    bool eightBit = true;
    for (wchar_t c : text)
        eightBit = eightBit && c <= 0xFF;
    if (!eightBit)
        return Utf8FromWide(text);
    std::string bytes;
    bytes.reserve(text.size());
    for (wchar_t c : text)
        bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    return bytes;
}

bool WriteInvocationFile(const std::wstring& argument, const std::wstring& target)
{
    try {
        // The target is always written as a new file: a request left
        // read-only (from a read-only document) does not stop this one.
        // A request is never looked up as a file: Windows takes
        // "morvindex:x\..\y" for the relative path "y", which would hand
        // over any file in place of the request.
        std::error_code error;
        const fs::file_status status =
            IsRequestUrl(argument) ? fs::file_status() : fs::status(fs::path(argument), error);
        if (!error && status.type() != fs::file_type::not_found && status.type() != fs::file_type::none) {
            // A document of our file type reaches the running instance
            // unchanged: its bytes, without its attributes.
            std::string bytes;
            return status.type() == fs::file_type::regular && ReadFileBytes(argument, bytes) &&
                   ReplaceFileContent(target, bytes);
        }
        return ReplaceFileContent(target, ProtocolRequestFileText(argument));
    } catch (const std::exception&) {
        return false;
    }
}
