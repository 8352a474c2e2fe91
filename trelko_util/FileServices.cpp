// The library's view of files: the listing of what an update copies, file
// times through the local calendar, content fingerprints, folder creation.
#include "trelko_util/FileServices.h"

#include "store/AtomicFile.h"
#include "trelko_util/Crc32.h"
#include "trelko_util/EntryNames.h"

#include <windows.h>

#include <cstdio>

int ListFiles(const std::wstring& folder, const std::wstring& pattern, bool recursive, std::vector<ListedFile>& out)
{
    int count = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + pattern).c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!IsNeverInstalledComponent(data.cFileName) && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                out.emplace_back(folder, data.cFileName);
                ++count;
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    if (!recursive)
        return count;
    find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return count;
    do {
        // A junction or link may lead anywhere: it is not followed. "." and
        // ".." are dot names too.
        if (!IsNeverInstalledComponent(data.cFileName) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            count += ListFiles(folder + data.cFileName + L"\\", pattern, recursive, out);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
}

std::string LocalWriteTimeDigits(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes))
        return std::string();
    return LocalTimeDigits(attributes.ftLastWriteTime);
}

std::string LocalTimeDigits(const FILETIME& time)
{
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&time, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return std::string();
    char digits[32];
    snprintf(digits, sizeof digits, "%04u%02u%02u%02u%02u%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
             local.wMinute, local.wSecond);
    return digits;
}

namespace {

// Seconds since 1601 of a local time given as 14 digits, converted with the
// daylight-saving rule of that date (the rule that produced the digits).
long long SecondsOf(const std::string& digits)
{
    if (digits.size() != 14)
        return 0;
    auto field = [&](size_t at, size_t length) { return static_cast<WORD>(std::stoi(digits.substr(at, length))); };
    SYSTEMTIME local = {};
    local.wYear = field(0, 4);
    local.wMonth = field(4, 2);
    local.wDay = field(6, 2);
    local.wHour = field(8, 2);
    local.wMinute = field(10, 2);
    local.wSecond = field(12, 2);
    SYSTEMTIME utc;
    FILETIME file;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &file))
        return 0;
    ULARGE_INTEGER ticks;
    ticks.LowPart = file.dwLowDateTime;
    ticks.HighPart = file.dwHighDateTime;
    return static_cast<long long>(ticks.QuadPart / 10000000ULL);
}

} // namespace

long long CompareFileTimes(const std::wstring& source, const std::wstring& target)
{
    return CompareTimeDigits(LocalWriteTimeDigits(source), LocalWriteTimeDigits(target));
}

long long CompareTimeDigits(const std::string& source, const std::string& target)
{
    return SecondsOf(source) - SecondsOf(target);
}

std::string FileFingerprint(const std::wstring& path)
{
    zelto::ComputeCrc32 crc32;
    bool error = false;
    uint32_t crc = crc32.FileCrc(path, error);
    unsigned long size = 0;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes))
        size = attributes.nFileSizeLow;
    return FingerprintText(LocalWriteTimeDigits(path), crc, size);
}

std::string FingerprintText(const std::string& timeDigits, uint32_t crc, unsigned long size)
{
    return timeDigits + "|" + std::to_string(crc) + "|" + std::to_string(size);
}

unsigned long long FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return ~0ULL;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool CanOpenForReading(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool CanReplaceNow(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
            !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool MakeFolderPath(const std::wstring& path)
{
    if (path.empty())
        return false;
    if (IsFolderPath(path) || CreateDirectoryW(path.c_str(), nullptr))
        return true;
    std::wstring copy = path;
    if (copy.back() == L'/')
        copy.pop_back();
    for (size_t i = 1; i <= copy.size(); ++i) {
        if (i < copy.size() && copy[i] != L'\\' && copy[i] != L'/')
            continue;
        std::wstring prefix = copy.substr(0, i);
        if (prefix.size() == 2 && prefix[1] == L':')
            continue;
        if (prefix.empty() || IsFolderPath(prefix))
            continue;
        if (!CreateDirectoryW(prefix.c_str(), nullptr) && !IsFolderPath(prefix))
            return false;
    }
    return true;
}
