// Test archives: minizip-written ones with chosen DOS times, raw records for
// archives no writer makes, and file write times.
#include "tests/ZipFixture.h"

#include "install/PartialUpdate.h"
#include "store/Text.h"

#include <minizip/zip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>

#include <cstdio>

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
        ok = ok && zipOpenNewFileInZip4_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           entry.folder ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
                                           DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                                           entry.utf8Name ? 1u << 11 : 0, 0) == ZIP_OK;
        if (ok && !entry.data.empty())
            ok = zipWriteInFileInZip(zip, entry.data.data(), static_cast<unsigned>(entry.data.size())) == ZIP_OK;
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

namespace {

const DosStamp kRawStamp = MakeDos(2024, 5, 17, 10, 30, 0);

// The fields the local header and the central record share, from the method
// to the name's length.
void PutEntryFields(std::string& out, const RawRecord& record)
{
    Put16(out, record.method);
    Put16(out, kRawStamp.time);
    Put16(out, kRawStamp.date);
    Put32(out, record.crc);
    Put32(out, record.compressedSize);
    Put32(out, record.uncompressedSize);
    Put16(out, static_cast<uint32_t>(record.name.size()));
}

} // namespace

std::string LocalHeader(const RawRecord& record)
{
    std::string out;
    Put32(out, 0x04034b50);
    Put16(out, 20); // version needed
    Put16(out, 0);  // flags
    PutEntryFields(out, record);
    Put16(out, 0); // extra field
    return out + record.name;
}

std::string CentralRecord(const RawRecord& record)
{
    std::string out;
    Put32(out, 0x02014b50);
    Put16(out, 20); // made by
    Put16(out, 20); // needed
    Put16(out, 0);  // flags
    PutEntryFields(out, record);
    Put16(out, 0); // extra
    Put16(out, 0); // comment
    Put16(out, 0); // disk
    Put16(out, 0); // internal attributes
    Put32(out, FILE_ATTRIBUTE_ARCHIVE);
    Put32(out, record.localOffset);
    return out + record.name;
}

std::string EndRecord(uint16_t entries, uint32_t centralSize, uint32_t centralOffset)
{
    std::string out;
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, entries);
    Put16(out, entries);
    Put32(out, centralSize);
    Put32(out, centralOffset);
    Put16(out, 0); // comment
    return out;
}

std::string RawDeflate(const std::string& data)
{
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

uint32_t Crc32Of(const std::string& data)
{
    return crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
}

std::string RawZip(std::vector<RawRecord> records, const std::vector<std::string>& data)
{
    std::string zip;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].localOffset != 0)
            continue;
        records[i].localOffset = static_cast<uint32_t>(zip.size());
        zip += LocalHeader(records[i]) + data[i];
    }
    std::string central;
    for (const RawRecord& record : records)
        central += CentralRecord(record);
    const auto offset = static_cast<uint32_t>(zip.size());
    return zip + central +
           EndRecord(static_cast<uint16_t>(records.size()), static_cast<uint32_t>(central.size()), offset);
}

std::string SharedStreamZip(int count, const std::string& payload)
{
    const std::string stream = RawDeflate(payload);
    std::vector<RawRecord> records;
    for (int i = 0; i < count; ++i) {
        RawRecord record;
        char name[16];
        snprintf(name, sizeof name, "f%02d.bin", i);
        record.name = name; // all names of one length, as the local header's
        record.crc = Crc32Of(payload);
        record.compressedSize = static_cast<uint32_t>(stream.size());
        record.uncompressedSize = static_cast<uint32_t>(payload.size());
        records.push_back(record);
    }
    // One local header and stream at offset 0, which every central record names.
    const std::string zip = LocalHeader(records[0]) + stream;
    std::string central;
    for (const RawRecord& record : records)
        central += CentralRecord(record);
    return zip + central +
           EndRecord(static_cast<uint16_t>(count), static_cast<uint32_t>(central.size()), static_cast<uint32_t>(zip.size()));
}

std::string NestedEntryZip()
{
    const std::string innerData = "inner entry";
    RawRecord inner;
    inner.name = "inner.txt";
    inner.method = 0;
    inner.crc = Crc32Of(innerData);
    inner.compressedSize = inner.uncompressedSize = static_cast<uint32_t>(innerData.size());
    const std::string outerData = LocalHeader(inner) + innerData;
    RawRecord outer;
    outer.name = "outer.bin";
    outer.method = 0;
    outer.crc = Crc32Of(outerData);
    outer.compressedSize = outer.uncompressedSize = static_cast<uint32_t>(outerData.size());
    inner.localOffset = static_cast<uint32_t>(LocalHeader(outer).size());
    return RawZip({outer, inner}, {outerData, std::string()});
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
