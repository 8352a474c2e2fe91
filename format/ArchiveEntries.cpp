// The entries file: written, read back with every name and record checked,
// and made from an archive the library accepts.
#include "format/ArchiveEntries.h"

#include "net/Crypto.h"
#include "trelko_util/Unzipper.h"
#include "trelko_util/ZipFormat.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const char kFirstLine[] = "MORVINDEX-ENTRIES 1";
const char kArchiveKey[] = "ARCHIVE ";
// A zip without its 64-bit extension holds at most this many entries.
const size_t kMostEntries = 0xFFFF;

std::string Hex8(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value));
    return text;
}

/// Takes the next field (up to a space) off line; false when it is empty.
bool NextField(const std::string& line, size_t& at, std::string& field)
{
    const size_t space = line.find(' ', at);
    if (space == std::string::npos || space == at)
        return false;
    field = line.substr(at, space - at);
    at = space + 1;
    return true;
}

bool Decimal(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool Hex(const std::string& text, size_t digits, uint32_t& value)
{
    if (text.size() != digits || text.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

bool ParseEntryLine(const std::string& line, uint64_t archiveSize, ArchiveEntry& entry)
{
    size_t at = 0;
    std::string offset, length, compressed, uncompressed, crc, date, kind;
    if (!NextField(line, at, offset) || !NextField(line, at, length) || !NextField(line, at, compressed) ||
        !NextField(line, at, uncompressed) || !NextField(line, at, crc) || !NextField(line, at, date) ||
        !NextField(line, at, kind) || !NextField(line, at, entry.sha256))
        return false;
    entry.name = line.substr(at);
    uint32_t dosDate = 0;
    if (!Decimal(offset, entry.offset) || !Decimal(length, entry.length) ||
        !Decimal(compressed, entry.compressedSize) || !Decimal(uncompressed, entry.uncompressedSize) ||
        !Hex(crc, 8, entry.crc) || !Hex(date, 8, dosDate) || (kind != "F" && kind != "D") ||
        entry.sha256.size() != 64 || entry.sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    entry.dosDate = dosDate;
    entry.folder = kind == "D";
    if (entry.name.empty())
        return false;
    for (unsigned char c : entry.name)
        if (c < 0x20 || c == 0x7F)
            return false;
    // Names become paths below the program's folder: one the library would
    // refuse (absolute, "..", a device such as "AUX", whose opening blocks, an
    // empty component) maps nothing. The file spells every separator "/", as
    // the archive's records are listed.
    if (!IsSafeEntryName(entry.name) || entry.name.find('\\') != std::string::npos)
        return false;
    // A record holds at least its header and its data, inside the archive.
    return entry.length >= zip::kLocalHeaderSize + entry.compressedSize && entry.offset <= archiveSize &&
           entry.length <= archiveSize - entry.offset;
}

} // namespace

const char* const kEntriesSuffix = ".entries";

std::string EntriesAddressFor(const std::string& archiveAddress) { return archiveAddress + kEntriesSuffix; }

std::string FormatEntriesFile(const ArchiveEntries& entries)
{
    std::string text = std::string(kFirstLine) + "\n" + kArchiveKey + std::to_string(entries.archiveSize) + "\n";
    for (const ArchiveEntry& entry : entries.entries) {
        text += std::to_string(entry.offset) + ' ' + std::to_string(entry.length) + ' ' +
                std::to_string(entry.compressedSize) + ' ' + std::to_string(entry.uncompressedSize) + ' ' +
                Hex8(entry.crc) + ' ' + Hex8(static_cast<uint32_t>(entry.dosDate)) + ' ' +
                (entry.folder ? 'D' : 'F') + ' ' + entry.sha256 + ' ' + entry.name + '\n';
    }
    return text;
}

bool ParseEntriesFile(const std::string& text, ArchiveEntries& entries)
{
    entries = ArchiveEntries();
    size_t at = 0;
    auto nextLine = [&text, &at](std::string& line) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos)
            return false;
        line = text.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string line;
    if (!nextLine(line) || line != kFirstLine || !nextLine(line) || line.compare(0, 8, kArchiveKey) != 0 ||
        !Decimal(line.substr(8), entries.archiveSize))
        return false;
    while (at < text.size()) {
        ArchiveEntry entry;
        if (!nextLine(line) || !ParseEntryLine(line, entries.archiveSize, entry))
            return false;
        // Records follow one another without overlapping, as an archive writes
        // them: a map whose records share bytes would have the same bytes
        // fetched, held and hashed once per entry.
        if (!entries.entries.empty() && entry.offset < entries.entries.back().offset + entries.entries.back().length)
            return false;
        if (entries.entries.size() == kMostEntries)
            return false;
        entries.entries.push_back(std::move(entry));
    }
    return true;
}

bool DescribeArchive(const std::wstring& path, ArchiveEntries& entries)
{
    entries = ArchiveEntries();
    std::vector<EntryRecord> records;
    if (!ListEntryRecords(path, records))
        return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) != FALSE;
    entries.archiveSize = ok ? static_cast<uint64_t>(size.QuadPart) : 0;
    std::string block(65536, '\0');
    for (size_t i = 0; ok && i < records.size(); ++i) {
        ArchiveEntry entry;
        static_cast<EntryRecord&>(entry) = records[i];
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(entry.offset);
        Sha256 hash;
        ok = SetFilePointerEx(file, offset, nullptr, FILE_BEGIN) != FALSE;
        for (uint64_t left = entry.length; ok && left > 0;) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<uint64_t>(left, block.size()));
            ok = ReadFile(file, &block[0], want, &got, nullptr) && got == want && hash.Update(block.data(), got);
            left -= got;
        }
        entry.sha256 = ok ? HexOf(hash.Finish()) : std::string();
        ok = ok && entry.sha256.size() == 64;
        entries.entries.push_back(std::move(entry));
    }
    CloseHandle(file);
    return ok;
}
