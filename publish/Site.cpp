// The site folder and its names: paths below BASE, archive paths, entry
// names as one path on Windows, and the times a build's files carry.
#include "publish/Site.h"

#include "store/FileNames.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <cctype>
#include <map>
#include <vector>

std::wstring SitePath(const std::wstring& site, const std::string& relative)
{
    std::wstring path = site;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    for (wchar_t c : WideFromUtf8(relative))
        path += c == L'/' ? L'\\' : c;
    return path;
}

std::string DerivedArchivePath(const std::string& name, int build, bool package)
{
    return package ? "deps/" + name + ".zip" : name + "/" + name + "_" + std::to_string(build) + ".zip";
}

bool AddressBelowBase(const std::string& address, const std::string& base, std::string& relative)
{
    if (base.empty() || address.compare(0, base.size(), base) != 0)
        return false;
    std::string path = address.substr(base.size());
    path = path.substr(0, path.find_first_of("?#"));
    std::string decoded;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && isxdigit(static_cast<unsigned char>(path[i + 1])) &&
            isxdigit(static_cast<unsigned char>(path[i + 2]))) {
            decoded += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    // A path that climbs above BASE leaves the site.
    int depth = 0;
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = decoded.size();
        const std::string part = decoded.substr(start, end - start);
        if (part == "..") {
            if (--depth < 0)
                return false;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    relative = decoded;
    return !decoded.empty();
}

bool IsDecimal(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string SlashedEntryName(std::string name)
{
    for (char& c : name)
        if (c == '\\')
            c = '/';
    return name;
}

bool IsPlainProgramName(const std::string& name)
{
    if (name.empty())
        return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

std::string CaseClash(const std::vector<std::string>& names)
{
    // Every name and every folder above it, folded: two files of one name, or
    // a file and a folder of one name, clash; folders may differ in case.
    std::map<std::string, std::pair<std::string, bool>> seen; // folded -> (as written, is a folder)
    for (const std::string& name : names) {
        const std::string folded = FoldedFileName(SlashedEntryName(name));
        for (size_t slash = folded.find('/'); ; slash = folded.find('/', slash + 1)) {
            const bool folder = slash != std::string::npos;
            const std::string part = folded.substr(0, slash);
            const std::string written = name.substr(0, slash);
            auto found = seen.find(part);
            if (found == seen.end())
                seen.emplace(part, std::make_pair(written, folder));
            else if (found->second.second != folder || !folder)
                return "\"" + found->second.first + "\" and \"" + name + "\"";
            if (!folder)
                break;
        }
    }
    return "";
}

bool InTheFuture(const FILETIME& time)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return CompareFileTime(&time, &now) > 0;
}

bool EntryDatedAfter(unsigned long dosDate, const FILETIME& now)
{
    FILETIME written;
    return EntryWriteTime(dosDate, written) && CompareFileTime(&written, &now) > 0;
}
