// Zip archives built by the tests themselves with minizip's writer, each entry
// with the DOS time the test chooses.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct DosStamp {
    WORD date;
    WORD time;
};

/// A DOS date and time (local time, two-second steps).
DosStamp MakeDos(int year, int month, int day, int hour, int minute, int second);

/// The UTC file time an extracted entry with this stamp carries.
FILETIME FileTimeOf(DosStamp stamp);

struct ZipEntry {
    std::string name;
    std::string data;
    DosStamp stamp = MakeDos(2024, 5, 17, 10, 30, 0);
    bool folder = false;
};

/// Writes a zip archive; an empty list writes an archive with no entries.
bool WriteZip(const std::wstring& path, const std::vector<ZipEntry>& entries);

FILETIME WriteTimeOf(const std::wstring& path);
void SetWriteTime(const std::wstring& path, FILETIME time);
/// time shifted by seconds (negative for earlier).
FILETIME Shifted(FILETIME time, long long seconds);

} // namespace testing_support
