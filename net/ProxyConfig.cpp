// Reading the proxy settings file's blocks (the last of either kind for the
// dialog, the active one for the transfers) and writing it whole.
#include "net/ProxyConfig.h"

#include "store/AtomicFile.h"
#include "store/Text.h"

#include <boost/algorithm/string/trim.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string TrimProxyLine(const std::string& line)
{
    return boost::algorithm::trim_copy_if(line, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// Takes the three lines after a header: address, user name, password.
void TakeBlock(const std::vector<std::string>& lines, size_t header, ProxySettings& settings)
{
    std::string* fields[] = {&settings.address, &settings.user, &settings.password};
    for (size_t i = 0; i < 3; ++i)
        *fields[i] = header + 1 + i < lines.size() ? lines[header + 1 + i] : std::string();
}

std::vector<std::string> TrimmedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(TrimProxyLine(line));
    return lines;
}

// One pass over the lines; inactive blocks count only for the dialog.
ProxySettings ScanBlocks(const std::string& text, bool takeInactive)
{
    std::vector<std::string> lines = TrimmedLines(text);
    ProxySettings settings;
    for (size_t i = 0; i < lines.size(); ++i) {
        bool active = lines[i].find("[PROXY]") != std::string::npos;
        if (!active && !(takeInactive && lines[i].find("[INACTIVE_PROXY]") != std::string::npos))
            continue;
        settings.active = settings.active || active;
        TakeBlock(lines, i, settings);
        i += 3;
    }
    return settings;
}

} // namespace

std::string ProxyConfigPath()
{
    const wchar_t* root = _wgetenv(L"APPDATA");
    std::string folder = Utf8FromWide(root ? root : L"") + "\\zelto";
    std::error_code error;
    fs::create_directories(fs::path(WideFromUtf8(folder)), error);
    return folder + "\\qbmapproxy.config";
}

ProxySettings ParseProxyConfig(const std::string& text) { return ScanBlocks(text, true); }

namespace {
std::string ReadProxyFile()
{
    std::ifstream in(fs::path(WideFromUtf8(ProxyConfigPath())), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
} // namespace

ProxySettings ReadProxyConfig() { return ScanBlocks(ReadProxyFile(), true); }

ProxySettings ReadActiveProxy() { return ScanBlocks(ReadProxyFile(), false); }

std::string FormatProxyConfig(const ProxySettings& settings)
{
    return std::string(settings.active ? "[PROXY]" : "[INACTIVE_PROXY]") + "\r\n" + settings.address + "\r\n" +
           settings.user + "\r\n" + settings.password + "\r\n";
}

bool WriteProxyConfig(const ProxySettings& settings)
{
    return ReplaceFileContent(WideFromUtf8(ProxyConfigPath()), FormatProxyConfig(settings));
}
