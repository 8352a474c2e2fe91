// Reads an archive's entry names and dates for the site check, and words the
// library's refusal of an archive for the maker.
#include "publish/ArchiveCheck.h"

#include "publish/Site.h"
#include "trelko_util/EntryNames.h"
#include "trelko_util/Unzipper.h"

#include <minizip/unzip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>

#include <windows.h>

ArchiveContent ReadArchiveEntries(const std::wstring& path)
{
    ArchiveContent content;
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    unzFile archive = unzOpen2_64(path.c_str(), &functions);
    if (!archive)
        return content;
    content.opened = true;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (int at = unzGoToFirstFile(archive); at == UNZ_OK; at = unzGoToNextFile(archive)) {
        unz_file_info64 info;
        char name[kLongestEntryName + 2] = {};
        if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        std::string entry(name);
        if (info.size_filename > entry.size())
            entry += "...";
        content.entries.push_back(entry);
        if (content.future.empty() && EntryDatedAfter(info.dosDate, now))
            content.future = entry;
    }
    unzClose(archive);
    return content;
}

std::string RefusalReason(const ArchiveContent& content)
{
    if (!content.opened)
        return "does not open as a zip archive";
    if (content.entries.empty())
        return "has no entries";
    for (const std::string& entry : content.entries) {
        if (entry.size() > kLongestEntryName)
            return "entry \"" + entry + "\" has a name over " + std::to_string(kLongestEntryName) + " bytes";
        if (!IsSafeEntryName(entry))
            return "entry \"" + entry +
                   "\" is no plain relative name (\"..\", a drive, a device name such as AUX, a trailing dot or "
                   "space)";
    }
    return "cannot be read whole";
}
