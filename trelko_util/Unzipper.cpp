#include "trelko_util/Unzipper.h"

#include "store/FileNames.h"
#include "trelko_util/FileServices.h"

#include <windows.h>

#include <minizip/unzip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>

#include <cstring>

namespace {

constexpr DWORD kCopyBlock = 2048;
constexpr unsigned long kNameBuffer = 260;

struct EntryInfo {
    std::string name; // "/" turned into "\"
    unsigned long dosDate = 0;
    bool isFolder = false;
};

bool ReadEntryInfo(unzFile archive, EntryInfo& entry)
{
    unz_file_info64 info;
    char name[kNameBuffer + 1] = {};
    if (unzGetCurrentFileInfo64(archive, &info, name, kNameBuffer, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    // A name cut to the buffer could make two entries one file, or a file a folder.
    if (info.size_filename > kNameBuffer || std::strlen(name) != info.size_filename)
        return false;
    entry.name = name;
    for (char& c : entry.name)
        if (c == '/')
            c = '\\';
    entry.dosDate = info.dosDate;
    // Some writers mark folders only by the trailing separator.
    entry.isFolder = (info.external_fa & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                     (!entry.name.empty() && entry.name.back() == '\\');
    return true;
}

std::string ParentOf(const std::string& path)
{
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

bool IsSafeEntryName(const std::string& name)
{
    if (name.empty() || name[0] == '\\' || name[0] == '/')
        return false;
    if (name.find(':') != std::string::npos)
        return false;
    // Every component must be a plain file name: no "..", no device such as
    // "sub/AUX" (opening it would block) and no trailing dot or space (which
    // Windows drops, so "a." and "a" would be one file).
    size_t start = 0;
    while (start < name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = name.size();
        if (end > start && !IsSafeFileName(name.substr(start, end - start), kNameBuffer))
            return false;
        start = end + 1;
    }
    return true;
}

CUnzipper::~CUnzipper() { Close(); }

bool CUnzipper::Open(const std::string& path)
{
    Close();
    if (path.empty())
        return false;
    char full[260];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full)
        return false;
    zlib_filefunc64_def functions;
    fill_win32_filefunc64A(&functions);
    m_archive = unzOpen2_64(full, &functions);
    if (!m_archive)
        return false;
    std::string folder = full;
    size_t dot = folder.find_last_of('.');
    size_t slash = folder.find_last_of('\\');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        folder.resize(dot);
    strncpy(m_outputFolder, folder.c_str(), sizeof m_outputFolder - 1);
    return true;
}

void CUnzipper::Close()
{
    if (m_archive)
        unzClose(static_cast<unzFile>(m_archive));
    m_archive = nullptr;
}

bool CUnzipper::CheckEntries()
{
    auto* archive = static_cast<unzFile>(m_archive);
    unz_global_info64 global;
    if (!archive || unzGetGlobalInfo64(archive, &global) != UNZ_OK || global.number_entry == 0)
        return false;
    if (unzGoToFirstFile(archive) != UNZ_OK)
        return false;
    do {
        EntryInfo entry;
        if (!ReadEntryInfo(archive, entry) || !IsSafeEntryName(entry.name))
            return false;
    } while (unzGoToNextFile(archive) == UNZ_OK);
    return true;
}

bool CUnzipper::UnzipTo(const std::string& folderArgument)
{
    auto* archive = static_cast<unzFile>(m_archive);
    if (!archive)
        return false;
    std::string folder = folderArgument.empty() ? std::string(m_outputFolder) : folderArgument;
    if (!IsFolder(folder) && !MakeFolderPath(folder))
        return false;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(archive, &global) != UNZ_OK || global.number_entry == 0)
        return false;
    if (unzGoToFirstFile(archive) != UNZ_OK)
        return false;
    do {
        if (!ExtractCurrent(folder))
            return false;
    } while (unzGoToNextFile(archive) == UNZ_OK);
    return true;
}

bool CUnzipper::ExtractCurrent(const std::string& folder)
{
    auto* archive = static_cast<unzFile>(m_archive);
    EntryInfo entry;
    if (!ReadEntryInfo(archive, entry))
        return false;
    // Nothing may be written outside the extraction folder.
    if (!IsSafeEntryName(entry.name))
        return false;
    std::string path = folder + "\\" + entry.name;
    if (entry.isFolder)
        return MakeFolderPath(path);

    std::string parent = ParentOf(path);
    if (!parent.empty() && !IsFolder(parent) && !MakeFolderPath(parent))
        return false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    if (unzOpenCurrentFile(archive) != UNZ_OK) {
        CloseHandle(file);
        return false;
    }
    bool ok = true;
    char buffer[kCopyBlock];
    for (;;) {
        int got = unzReadCurrentFile(archive, buffer, kCopyBlock);
        if (got == 0)
            break;
        DWORD written = 0;
        if (got < 0 || !WriteFile(file, buffer, static_cast<DWORD>(got), &written, nullptr) ||
            written != static_cast<DWORD>(got)) {
            ok = false;
            break;
        }
    }
    // A damaged entry shows up as a CRC error when it is closed.
    if (unzCloseCurrentFile(archive) != UNZ_OK)
        ok = false;
    if (ok) {
        // The entry's local time is converted with the daylight-saving rule
        // of its own date, as file times are compared, not with today's.
        FILETIME local, utc;
        SYSTEMTIME localTime, utcTime;
        if (DosDateTimeToFileTime(HIWORD(entry.dosDate), LOWORD(entry.dosDate), &local) &&
            FileTimeToSystemTime(&local, &localTime) &&
            TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utcTime) && SystemTimeToFileTime(&utcTime, &utc))
            SetFileTime(file, &utc, nullptr, &utc);
    }
    CloseHandle(file);
    return ok;
}

bool UnzipArchive(const std::string& archive, const std::string& folder)
{
    CUnzipper unzipper;
    return unzipper.Open(archive) && unzipper.CheckEntries() && unzipper.UnzipTo(folder);
}

bool IsAcceptableArchive(const std::wstring& path)
{
    // The library's own paths are narrow for now: the short form spells any
    // existing file in the ANSI code page.
    wchar_t shortPath[MAX_PATH];
    DWORD length = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    char narrow[MAX_PATH * 2];
    BOOL lossy = FALSE;
    int size = WideCharToMultiByte(CP_ACP, 0, shortPath, -1, narrow, sizeof narrow, nullptr, &lossy);
    if (size <= 0 || lossy)
        return false;
    CUnzipper unzipper;
    return unzipper.Open(narrow) && unzipper.CheckEntries();
}
