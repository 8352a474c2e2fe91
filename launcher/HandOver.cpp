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
        std::error_code error;
        fs::file_status status = fs::status(fs::path(argument), error);
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
