// Checking and extracting zip archives through minizip: every entry name
// safe, no entries sharing bytes, each entry inflated to exactly its declared
// size and CRC-32 and stamped with its own time; and listing their records.
#include "trelko_util/Unzipper.h"

#include "store/AtomicFile.h"
#include "store/Text.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/ZipFormat.h"

#include <windows.h>

#include <minizip/unzip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kCopyBlock = 2048;

struct EntryInfo {
    std::wstring name; // "/" turned into "\"
    unsigned long dosDate = 0;
    unsigned long crc = 0;
    unsigned long long uncompressedSize = 0;
    unsigned long long compressedSize = 0;
    unsigned long nameBytes = 0;
    unsigned long flag = 0;
    bool isFolder = false;
};

bool ReadEntryInfo(unzFile archive, EntryInfo& entry)
{
    unz_file_info64 info;
    char name[kLongestEntryName + 1] = {};
    if (unzGetCurrentFileInfo64(archive, &info, name, kLongestEntryName, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    // A name cut to the buffer could make two entries one file, or a file a folder.
    if (info.size_filename > kLongestEntryName || std::strlen(name) != info.size_filename)
        return false;
    if (!zip::DecodeEntryName(name, info.flag, entry.name))
        return false;
    std::replace(entry.name.begin(), entry.name.end(), L'/', L'\\');
    entry.dosDate = info.dosDate;
    entry.crc = info.crc;
    entry.uncompressedSize = info.uncompressed_size;
    entry.compressedSize = info.compressed_size;
    entry.nameBytes = info.size_filename;
    entry.flag = info.flag;
    // Some writers mark folders only by the trailing separator.
    entry.isFolder = (info.external_fa & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                     (!entry.name.empty() && entry.name.back() == L'\\');
    return true;
}

std::wstring ParentOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Where the current entry lies in the archive file: from its local header to
// the end of its data. The entry is opened raw, which reads the local header
// without inflating anything.
bool EntryExtent(unzFile archive, const EntryInfo& entry, std::pair<unsigned long long, unsigned long long>& extent)
{
    int method = 0, level = 0;
    if (unzOpenCurrentFile2(archive, &method, &level, 1) != UNZ_OK)
        return false;
    const unsigned long long dataStart = unzGetCurrentFileZStreamPos64(archive);
    const int localExtra = unzGetLocalExtrafield(archive, nullptr, 0);
    unzCloseCurrentFile(archive);
    // minizip has checked that the local header's name is as long as the central one.
    const unsigned long long header =
        zip::kLocalHeaderSize + entry.nameBytes + static_cast<unsigned>(std::max(localExtra, 0));
    if (localExtra < 0 || dataStart < header)
        return false;
    extent = {dataStart - header, dataStart + entry.compressedSize};
    return extent.second >= dataStart;
}

// Writes the current entry, opened raw, into file: stored data are copied,
// deflated data inflated here, so that nothing beyond the declared size is
// ever written and the size and CRC are checked whatever minizip allows.
bool WriteEntryData(unzFile archive, int method, const EntryInfo& entry, HANDLE file)
{
    if (method != 0 && method != Z_DEFLATED)
        return false;
    z_stream stream = {};
    if (method == Z_DEFLATED && inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    unsigned long long written = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool ended = false; // a deflated stream reached its end
    bool ok = true;
    auto put = [&](const Bytef* bytes, DWORD size) {
        if (size == 0)
            return true;
        if (size > entry.uncompressedSize - written)
            return false; // more than the entry declares: stop here
        DWORD done = 0;
        if (!WriteFile(file, bytes, size, &done, nullptr) || done != size)
            return false;
        written += size;
        crc = crc32(crc, bytes, size);
        return true;
    };
    Bytef input[kCopyBlock];
    Bytef output[kCopyBlock];
    bool inputDone = false;
    while (ok && !ended) {
        if (stream.avail_in == 0 && !inputDone) {
            int got = unzReadCurrentFile(archive, input, kCopyBlock);
            if (got < 0) {
                ok = false;
                break;
            }
            inputDone = got == 0;
            stream.next_in = input;
            stream.avail_in = static_cast<uInt>(got);
        }
        if (method == 0) {
            ok = put(input, stream.avail_in);
            stream.avail_in = 0;
            if (inputDone)
                break;
            continue;
        }
        stream.next_out = output;
        stream.avail_out = kCopyBlock;
        int result = inflate(&stream, inputDone ? Z_FINISH : Z_NO_FLUSH);
        const DWORD produced = kCopyBlock - stream.avail_out;
        ok = put(output, produced);
        if (result == Z_STREAM_END)
            ended = true;
        else if (result == Z_BUF_ERROR ? inputDone && produced == 0 : result != Z_OK)
            ok = false; // damaged, or cut before its end
    }
    if (method == Z_DEFLATED)
        inflateEnd(&stream);
    return ok && (ended || method == 0) && written == entry.uncompressedSize && crc == entry.crc;
}

} // namespace

CUnzipper::~CUnzipper() { Close(); }

bool CUnzipper::Open(const std::wstring& path)
{
    Close();
    if (path.empty())
        return false;
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    m_archive = unzOpen2_64(full.c_str(), &functions);
    if (!m_archive)
        return false;
    m_outputFolder = full;
    size_t dot = full.find_last_of(L'.');
    size_t slash = full.find_last_of(L'\\');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        m_outputFolder.resize(dot);
    return true;
}

void CUnzipper::Close()
{
    if (m_archive)
        unzClose(static_cast<unzFile>(m_archive));
    m_archive = nullptr;
    m_declaredSize = 0;
}

bool CUnzipper::CheckEntries()
{
    auto* archive = static_cast<unzFile>(m_archive);
    m_declaredSize = 0;
    unz_global_info64 global;
    if (!archive || unzGetGlobalInfo64(archive, &global) != UNZ_OK || global.number_entry == 0)
        return false;
    if (unzGoToFirstFile(archive) != UNZ_OK)
        return false;
    std::vector<std::pair<unsigned long long, unsigned long long>> extents;
    unsigned long long total = 0;
    do {
        EntryInfo entry;
        std::pair<unsigned long long, unsigned long long> extent;
        if (!ReadEntryInfo(archive, entry) || !IsSafeEntryName(Utf8FromWide(entry.name)) ||
            !EntryExtent(archive, entry, extent))
            return false;
        extents.push_back(extent);
        total = entry.uncompressedSize > ~0ULL - total ? ~0ULL : total + entry.uncompressedSize;
    } while (unzGoToNextFile(archive) == UNZ_OK);
    // Each entry must own its bytes: overlapping entries let one stream be
    // written many times over.
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i)
        if (extents[i].first < extents[i - 1].second)
            return false;
    m_declaredSize = total;
    return true;
}

bool CUnzipper::UnzipTo(const std::wstring& folderArgument)
{
    auto* archive = static_cast<unzFile>(m_archive);
    if (!archive)
        return false;
    std::wstring folder = folderArgument.empty() ? m_outputFolder : folderArgument;
    if (!IsFolderPath(folder) && !MakeFolderPath(folder))
        return false;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(archive, &global) != UNZ_OK || global.number_entry == 0)
        return false;
    if (unzGoToFirstFile(archive) != UNZ_OK)
        return false;
    m_extracted.clear();
    do {
        if (!ExtractCurrent(folder))
            return false;
    } while (unzGoToNextFile(archive) == UNZ_OK);
    return true;
}

bool CUnzipper::ExtractCurrent(const std::wstring& folder)
{
    auto* archive = static_cast<unzFile>(m_archive);
    EntryInfo entry;
    if (!ReadEntryInfo(archive, entry))
        return false;
    // Nothing may be written outside the extraction folder.
    if (!IsSafeEntryName(Utf8FromWide(entry.name)))
        return false;
    std::wstring path = folder + L"\\" + entry.name;
    if (entry.isFolder)
        return MakeFolderPath(path);

    std::wstring parent = ParentOf(path);
    if (!parent.empty() && !IsFolderPath(parent) && !MakeFolderPath(parent))
        return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    int method = 0, level = 0;
    if (unzOpenCurrentFile2(archive, &method, &level, 1) != UNZ_OK) {
        CloseHandle(file);
        return false;
    }
    bool ok = WriteEntryData(archive, method, entry, file);
    if (unzCloseCurrentFile(archive) != UNZ_OK)
        ok = false;
    if (ok) {
        // The entry's local time is converted with the daylight-saving rule
        // of its own date, as file times are compared, not with today's.
        FILETIME utc;
        if (EntryWriteTime(entry.dosDate, utc))
            SetFileTime(file, &utc, nullptr, &utc);
        m_extracted.push_back({path, entry.uncompressedSize, entry.crc});
    }
    CloseHandle(file);
    return ok;
}

bool EntryWriteTime(unsigned long dosDate, FILETIME& utc)
{
    FILETIME local;
    SYSTEMTIME localTime, utcTime;
    return DosDateTimeToFileTime(HIWORD(dosDate), LOWORD(dosDate), &local) &&
           FileTimeToSystemTime(&local, &localTime) &&
           TzSpecificLocalTimeToSystemTime(nullptr, &localTime, &utcTime) && SystemTimeToFileTime(&utcTime, &utc);
}

bool ListEntryRecords(const std::wstring& path, std::vector<EntryRecord>& records)
{
    records.clear();
    CUnzipper unzipper;
    if (!unzipper.Open(path) || !unzipper.CheckEntries())
        return false;
    return unzipper.ListRecords(records);
}

bool CUnzipper::ListRecords(std::vector<EntryRecord>& records)
{
    auto* archive = static_cast<unzFile>(m_archive);
    if (!archive || unzGoToFirstFile(archive) != UNZ_OK)
        return false;
    do {
        EntryInfo entry;
        std::pair<unsigned long long, unsigned long long> extent;
        if (!ReadEntryInfo(archive, entry) || (entry.flag & zip::kSizesAfterDataFlag) ||
            !EntryExtent(archive, entry, extent))
            return false;
        EntryRecord record;
        record.name = Utf8FromWide(entry.name);
        std::replace(record.name.begin(), record.name.end(), '\\', '/');
        record.folder = entry.isFolder;
        record.dosDate = entry.dosDate;
        record.crc = static_cast<uint32_t>(entry.crc);
        record.compressedSize = entry.compressedSize;
        record.uncompressedSize = entry.uncompressedSize;
        record.offset = extent.first;
        record.length = extent.second - extent.first;
        records.push_back(std::move(record));
    } while (unzGoToNextFile(archive) == UNZ_OK);
    return true;
}

bool UnzipArchive(const std::wstring& archive, const std::wstring& folder)
{
    CUnzipper unzipper;
    return unzipper.Open(archive) && unzipper.CheckEntries() && unzipper.UnzipTo(folder);
}

bool IsAcceptableArchive(const std::wstring& path)
{
    CUnzipper unzipper;
    return unzipper.Open(path) && unzipper.CheckEntries();
}
