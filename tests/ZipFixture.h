// Zip archives built by the tests themselves: with minizip's writer, each entry
// with the DOS time the test chooses, or record by record for archives the
// writer would never make (entries sharing data, nested entries, sizes that
// lie); and the write times of files.
#pragma once

#include <windows.h>

#include <cstdint>
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
    /// The name's bytes are UTF-8 (general purpose flag bit 11); else code page 437.
    bool utf8Name = false;
};

/// Writes a zip archive; an empty list writes an archive with no entries.
bool WriteZip(const std::wstring& path, const std::vector<ZipEntry>& entries);

/// Raw zip records, for archives minizip's writer would never make (entries
/// sharing data, sizes that lie). Offsets and sizes are the caller's.
struct RawRecord {
    std::string name;
    uint16_t method = 8; // 0 stored, 8 deflated
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t localOffset = 0; // for the central record
};
/// The local header of record, without its data.
std::string LocalHeader(const RawRecord& record);
/// The central directory record of record.
std::string CentralRecord(const RawRecord& record);
/// The end of central directory record.
std::string EndRecord(uint16_t entries, uint32_t centralSize, uint32_t centralOffset);
/// data deflated without a zlib header, as zip entries hold it.
std::string RawDeflate(const std::string& data);
uint32_t Crc32Of(const std::string& data);
/// Builds a whole archive: the local header and data (data[i]) of each record
/// whose localOffset is 0, placed in turn (a record with another offset only
/// points into what is there), then the central directory of every record.
std::string RawZip(std::vector<RawRecord> records, const std::vector<std::string>& data);

/// An archive of count entries whose central records all point to one
/// deflated stream of payload.
std::string SharedStreamZip(int count, const std::string& payload);
/// An archive whose second entry (local header and data) lies inside the
/// stored data of the first.
std::string NestedEntryZip();

FILETIME WriteTimeOf(const std::wstring& path);
void SetWriteTime(const std::wstring& path, FILETIME time);
/// time shifted by seconds (negative for earlier).
FILETIME Shifted(FILETIME time, long long seconds);

} // namespace testing_support
