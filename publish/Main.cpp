// morvindex-publish: the maker's console program that packs, indexes, signs
// and checks a catalogue the launcher will accept.
#include "publish/Commands.h"
#include "store/Text.h"

#include <windows.h>

namespace {

/// Writes UTF-8 lines to a console as text, and to a pipe or file as bytes.
class ConsoleReporter : public Reporter {
public:
    void Line(const std::string& utf8) override { Write(GetStdHandle(STD_OUTPUT_HANDLE), utf8); }
    void Error(const std::string& utf8) override { Write(GetStdHandle(STD_ERROR_HANDLE), "morvindex-publish: " + utf8); }

private:
    static void Write(HANDLE handle, const std::string& utf8)
    {
        DWORD mode = 0, written = 0;
        if (GetConsoleMode(handle, &mode)) {
            const std::wstring text = WideFromUtf8(utf8 + "\r\n");
            WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        } else {
            const std::string text = utf8 + "\r\n";
            WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        }
    }
};

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    ConsoleReporter reporter;
    return RunPublish(arguments, reporter);
}
