#include "tests/ZipFixture.h"

#include "store/Text.h"

#include <minizip/zip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>

namespace testing_support {

DosStamp MakeDos(int year, int month, int day, int hour, int minute, int second)
{
    DosStamp stamp;
    stamp.date = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
    stamp.time = static_cast<WORD>((hour << 11) | (minute << 5) | (second / 2));
    return stamp;
}

FILETIME FileTimeOf(DosStamp stamp)
{
    FILETIME local = {}, utc = {};
    SYSTEMTIME localTime = {}, utcTime = {};
    DosDateTimeToFileTime(stamp.date, stamp.time, &local);
    FileTimeToSystemTime(&local, &localTime);
    TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utcTime);
    SystemTimeToFileTime(&utcTime, &utc);
    return utc;
}

bool WriteZip(const std::wstring& path, const std::vector<ZipEntry>& entries)
{
    zlib_filefunc64_def functions;
    fill_win32_filefunc64A(&functions);
    zipFile zip = zipOpen2_64(AnsiFromWide(path).c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (!zip)
        return false;
    bool ok = true;
    for (const ZipEntry& entry : entries) {
        zip_fileinfo info = {};
        info.dosDate = (static_cast<uLong>(entry.stamp.date) << 16) | entry.stamp.time;
        info.external_fa = entry.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        ok = ok && zipOpenNewFileInZip(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                       entry.folder ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION) == ZIP_OK;
        if (ok && !entry.data.empty())
            ok = zipWriteInFileInZip(zip, entry.data.data(), static_cast<unsigned>(entry.data.size())) == ZIP_OK;
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

FILETIME WriteTimeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

void SetWriteTime(const std::wstring& path, FILETIME time)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
}

FILETIME Shifted(FILETIME time, long long seconds)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += static_cast<ULONGLONG>(seconds * 10000000LL);
    FILETIME out;
    out.dwLowDateTime = value.LowPart;
    out.dwHighDateTime = value.HighPart;
    return out;
}

} // namespace testing_support
