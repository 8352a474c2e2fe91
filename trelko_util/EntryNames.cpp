// The plain relative path rule and the never-installed name rule.
#include "trelko_util/EntryNames.h"

#include "store/FileNames.h"

bool IsPlainRelativePath(const std::string& path)
{
    if (path.empty() || path.size() > kLongestEntryName)
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find_first_of("\\/", start);
        const std::string component = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!IsSafeFileName(component, kLongestEntryName))
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool IsSafeEntryName(const std::string& name)
{
    if (name.empty() || name.size() > kLongestEntryName)
        return false;
    const bool folder = name.back() == '\\' || name.back() == '/';
    return IsPlainRelativePath(folder ? name.substr(0, name.size() - 1) : name);
}

bool IsNeverInstalledComponent(const std::wstring& component)
{
    return !component.empty() && component[0] == L'.';
}

bool IsNeverInstalledName(const std::wstring& name)
{
    size_t start = 0;
    for (;;) {
        const size_t separator = name.find_first_of(L"\\/", start);
        const size_t length = separator == std::wstring::npos ? separator : separator - start;
        if (IsNeverInstalledComponent(name.substr(start, length)))
            return true;
        if (separator == std::wstring::npos)
            return false;
        start = separator + 1;
    }
}
