// Lists a build folder by the library's rules (names never installed
// skipped, links refused) and writes the zip archive the launcher unpacks,
// each file read from the handle that was checked.
#include "publish/Packer.h"

#include "store/FileNames.h"
#include "store/Text.h"
#include "trelko_util/EntryNames.h"
#include "trelko_util/Unzipper.h"
#include "trelko_util/ZipFormat.h"

#include <minizip/zip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>

#include <algorithm>

namespace {

constexpr DWORD kCopyBlock = 64 * 1024;

/// The path a file or folder opens at, every link on the way followed; "" when unknown.
std::wstring FinalPath(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::wstring final(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(file, &final[0], static_cast<DWORD>(final.size()), VOLUME_NAME_DOS);
    CloseHandle(file);
    final.resize(length < final.size() ? length : 0);
    return final;
}

/// True when an open handle's final path is expected (compared as Windows
/// compares names); true as well when expected is unknown.
bool HandleOpensAt(HANDLE handle, const std::wstring& expected)
{
    if (expected.empty())
        return true;
    std::wstring final(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, &final[0], static_cast<DWORD>(final.size()), VOLUME_NAME_DOS);
    if (length == 0 || length >= final.size())
        return false;
    final.resize(length);
    return SameFileName(final, expected);
}

/// True when the file named name in a folder (whose final path is
/// finalFolder) is reached through a link: it opens elsewhere. Some systems
/// show a link to a file without its reparse-point attribute.
bool OpensElsewhere(const std::wstring& folder, const std::wstring& finalFolder, const std::wstring& name)
{
    if (finalFolder.empty())
        return false;
    const std::wstring final = FinalPath(folder + L"\\" + name);
    const std::wstring expected = finalFolder + L"\\" + name;
    return !final.empty() && !SameFileName(final, expected);
}

void ListInto(const std::wstring& folder, const std::wstring& finalFolder, const std::string& prefix,
              FolderContent& content)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring wide = found.cFileName;
        if (wide == L"." || wide == L"..")
            continue;
        const std::string name = prefix + Utf8FromWide(wide);
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // The library's folder update never lists such names, so they would
        // reach the staging folder and stop there.
        if (IsNeverInstalledName(wide)) {
            content.skipped.push_back(name + (isFolder ? "/" : ""));
            continue;
        }
        // A name the library refuses is refused for that, whatever a path
        // with a trailing dot or space may open on the way.
        if (!isFolder && !IsSafeEntryName(name)) {
            PackedFile file;
            file.name = name;
            content.files.push_back(std::move(file));
            continue;
        }
        // A link (to a file or a folder, any reparse point) would pack what
        // lies elsewhere, outside the build folder or inside it again.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || (!isFolder && OpensElsewhere(folder, finalFolder, wide))) {
            content.refused.push_back("\"" + name + (isFolder ? "/" : "") +
                                      "\": a link; only the files themselves are packed, never what a link points to");
            continue;
        }
        if (isFolder) {
            ListInto(folder + L"\\" + wide, finalFolder.empty() ? finalFolder : finalFolder + L"\\" + wide,
                     name + "/", content);
            continue;
        }
        PackedFile file;
        file.name = name;
        file.path = folder + L"\\" + wide;
        if (!finalFolder.empty())
            file.finalPath = finalFolder + L"\\" + wide;
        file.lastWrite = found.ftLastWriteTime;
        file.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        content.files.push_back(std::move(file));
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

/// The folder's full path in the form without the 260-character limit, so
/// that no file of a deep tree is missed.
std::wstring LongPathOf(const std::wstring& folder)
{
    DWORD length = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(folder.c_str(), length, &full[0], nullptr);
    full.resize(length);
    while (full.size() > 2 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    if (full.empty() || full.compare(0, 4, L"\\\\?\\") == 0)
        return full.empty() ? folder : full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace

FolderContent ListBuildFolder(const std::wstring& folder)
{
    FolderContent content;
    const std::wstring root = LongPathOf(folder);
    ListInto(root, FinalPath(root), std::string(), content);
    std::sort(content.files.begin(), content.files.end(),
              [](const PackedFile& a, const PackedFile& b) { return a.name < b.name; });
    std::vector<PackedFile> accepted;
    for (PackedFile& file : content.files) {
        if (file.name.size() > kLongestEntryName)
            content.refused.push_back("\"" + file.name + "\": name of " + std::to_string(file.name.size()) +
                                      " bytes, over " + std::to_string(kLongestEntryName));
        else if (!IsSafeEntryName(file.name))
            content.refused.push_back("\"" + file.name +
                                      "\": no plain file name (a device name such as AUX or COM1, a trailing dot "
                                      "or space, or a character Windows forbids)");
        else
            accepted.push_back(std::move(file));
    }
    content.files = std::move(accepted);
    return content;
}

bool EntryDosTime(const FILETIME& lastWrite, unsigned long& dosDate)
{
    // The inverse of the library's reading: it takes the DOS time as local
    // time and converts it with TzSpecificLocalTimeToSystemTime.
    SYSTEMTIME utc, local;
    FILETIME localTime;
    WORD date = 0, time = 0;
    if (!FileTimeToSystemTime(&lastWrite, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &localTime) || !FileTimeToDosDateTime(&localTime, &date, &time))
        return false;
    dosDate = (static_cast<unsigned long>(date) << 16) | time;
    return true;
}

bool WriteArchive(const std::wstring& path, const std::vector<PackedFile>& files, std::string& error)
{
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    zipFile zip = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (!zip) {
        error = "cannot create " + Utf8FromWide(path);
        return false;
    }
    std::vector<char> buffer(kCopyBlock);
    bool ok = true;
    for (const PackedFile& file : files) {
        zip_fileinfo info = {};
        info.external_fa = FILE_ATTRIBUTE_ARCHIVE;
        // The one handle the file is checked and read through: a link put in
        // its place after the listing is seen on it, never followed past it.
        HANDLE input = CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (input == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            // Wine opens no link itself where Windows would; where the name
            // now leads elsewhere, that is the reason.
            const std::wstring now = FinalPath(file.path);
            const bool moved = !file.finalPath.empty() && !now.empty() && !SameFileName(now, file.finalPath);
            error = "\"" + file.name + "\": " +
                    (moved ? std::string("became a link (or another file) after the folder was listed; only the files "
                                         "themselves are packed, never what a link points to")
                           : "cannot be read: " + Win32ErrorText(code));
            ok = false;
            break;
        }
        BY_HANDLE_FILE_INFORMATION opened = {};
        if (!GetFileInformationByHandle(input, &opened) ||
            (opened.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
            !HandleOpensAt(input, file.finalPath)) {
            CloseHandle(input);
            error = "\"" + file.name + "\": became a link (or another file) after the folder was listed; only the "
                    "files themselves are packed, never what a link points to";
            ok = false;
            break;
        }
        FILETIME written = opened.ftLastWriteTime;
        if (!EntryDosTime(written, info.dosDate)) {
            CloseHandle(input);
            error = "\"" + file.name + "\": last-write time outside 1980-2107, which a zip entry cannot hold";
            ok = false;
            break;
        }
        const uint64_t size = (static_cast<uint64_t>(opened.nFileSizeHigh) << 32) | opened.nFileSizeLow;
        const int zip64 = size >= 0xFFFFFFFFull ? 1 : 0;
        ok = zipOpenNewFileInZip4_64(zip, file.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                     Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                                     zip::kUtf8NameFlag, zip64) == ZIP_OK;
        while (ok) {
            DWORD got = 0;
            ok = ReadFile(input, buffer.data(), kCopyBlock, &got, nullptr) != FALSE;
            if (!ok || got == 0)
                break;
            ok = zipWriteInFileInZip(zip, buffer.data(), got) == ZIP_OK;
        }
        CloseHandle(input);
        ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
        if (!ok) {
            error = "\"" + file.name + "\": could not be written into " + Utf8FromWide(path);
            break;
        }
    }
    if (zipClose(zip, nullptr) != ZIP_OK && ok) {
        error = "cannot finish " + Utf8FromWide(path);
        ok = false;
    }
    return ok;
}
