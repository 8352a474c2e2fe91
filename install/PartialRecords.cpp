// Building the partial update's archive from fetched records, and checking
// the entries file against the archive's central directory.
#include "install/PartialRecords.h"

#include "store/Text.h"
#include "trelko_util/ZipFormat.h"

#include <windows.h>

#include <algorithm>

namespace {

// True when the name a header spells, decoded as the library decodes it, is name.
bool LocalNameMatches(const std::string& raw, uint16_t flag, const std::string& name)
{
    std::wstring decoded;
    return zip::DecodeEntryName(raw, flag, decoded) && WindowsName(Utf8FromWide(decoded)) == WindowsName(name);
}

} // namespace

std::wstring WindowsName(const std::string& name)
{
    std::wstring wide = WideFromUtf8(name);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

void Put16(std::string& out, uint32_t value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

bool ZipOfRecords(const std::vector<const ArchiveEntry*>& entries, const std::vector<std::string>& records,
                  std::string& zip)
{
    zip.clear();
    if (entries.size() != records.size() || entries.size() > 0xFFFF)
        return false;
    std::string central;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ArchiveEntry& entry = *entries[i];
        const std::string& record = records[i];
        if (record.size() < zip::kLocalHeaderSize || zip::Read32(record, 0) != zip::kLocalSignature)
            return false;
        const uint16_t flag = zip::Read16(record, zip::local::kFlag);
        const uint16_t nameLength = zip::Read16(record, zip::local::kNameLength);
        const uint16_t extraLength = zip::Read16(record, zip::local::kExtraLength);
        const uint64_t compressed = zip::Read32(record, zip::local::kCompressedSize);
        const uint64_t uncompressed = zip::Read32(record, zip::local::kUncompressedSize);
        // The record is the entry the map describes, and nothing but it.
        if ((flag & zip::kSizesAfterDataFlag) || zip::Read32(record, zip::local::kDosTime) != entry.dosDate ||
            zip::Read32(record, zip::local::kCrc) != entry.crc || compressed != entry.compressedSize ||
            uncompressed != entry.uncompressedSize || compressed == 0xFFFFFFFF || uncompressed == 0xFFFFFFFF ||
            record.size() != zip::kLocalHeaderSize + nameLength + extraLength + compressed ||
            !LocalNameMatches(record.substr(zip::kLocalHeaderSize, nameLength), flag, entry.name))
            return false;
        if (zip.size() + record.size() >= 0xFFFFFFFFull)
            return false;
        const uint32_t offset = static_cast<uint32_t>(zip.size());
        zip += record;
        Put32(central, zip::kCentralSignature);
        // Made by: the version the entry needs, on DOS. Then needed, flag,
        // method, time, date, CRC, sizes and name length, as the local header has them.
        Put16(central, zip::Read16(record, zip::local::kVersionNeeded));
        central.append(record, zip::local::kVersionNeeded, zip::local::kExtraLength - zip::local::kVersionNeeded);
        Put16(central, 0);                 // no extra field
        Put16(central, 0);                 // no comment
        Put16(central, 0);                 // disk
        Put16(central, 0);                 // internal attributes
        Put32(central, FILE_ATTRIBUTE_ARCHIVE);
        Put32(central, offset);
        central.append(record, zip::kLocalHeaderSize, nameLength);
    }
    if (zip.size() + central.size() >= 0xFFFFFFFFull)
        return false;
    const uint32_t centralOffset = static_cast<uint32_t>(zip.size());
    zip += central;
    Put32(zip, zip::kEndSignature);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<uint32_t>(entries.size()));
    Put16(zip, static_cast<uint32_t>(entries.size()));
    Put32(zip, static_cast<uint32_t>(central.size()));
    Put32(zip, centralOffset);
    Put16(zip, 0);
    return true;
}

bool EntriesMatchCentralDirectory(const ArchiveEntries& entries, uint64_t tailOffset, const std::string& tail)
{
    // The end record closes the archive, followed only by its comment.
    if (tail.size() < zip::kEndRecordSize || tailOffset + tail.size() != entries.archiveSize)
        return false;
    size_t end = std::string::npos;
    for (size_t at = tail.size() - zip::kEndRecordSize;; --at) {
        if (zip::Read32(tail, at) == zip::kEndSignature &&
            at + zip::kEndRecordSize + zip::Read16(tail, at + zip::end_record::kCommentLength) == tail.size()) {
            end = at;
            break;
        }
        if (at == 0 || tail.size() - at > zip::kEndRecordSize + 0xFFFF)
            break;
    }
    if (end == std::string::npos)
        return false;
    const uint64_t count = zip::Read16(tail, end + zip::end_record::kEntries);
    const uint64_t centralSize = zip::Read32(tail, end + zip::end_record::kCentralSize);
    const uint64_t centralOffset = zip::Read32(tail, end + zip::end_record::kCentralOffset);
    if (count != entries.entries.size() || zip::Read16(tail, end + zip::end_record::kEntriesOnDisk) != count ||
        centralOffset < tailOffset || centralOffset + centralSize != tailOffset + end)
        return false;
    std::vector<const ArchiveEntry*> byOffset;
    for (const ArchiveEntry& entry : entries.entries)
        byOffset.push_back(&entry);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const ArchiveEntry* a, const ArchiveEntry* b) { return a->offset < b->offset; });
    std::vector<bool> matched(byOffset.size(), false);
    size_t at = static_cast<size_t>(centralOffset - tailOffset);
    for (uint64_t i = 0; i < count; ++i) {
        if (at + zip::kCentralHeaderSize > end || zip::Read32(tail, at) != zip::kCentralSignature)
            return false;
        const uint16_t flag = zip::Read16(tail, at + zip::central::kFlag);
        const size_t nameLength = zip::Read16(tail, at + zip::central::kNameLength);
        const size_t skipped = nameLength + zip::Read16(tail, at + zip::central::kExtraLength) +
                               zip::Read16(tail, at + zip::central::kCommentLength);
        if (at + zip::kCentralHeaderSize + skipped > end)
            return false;
        const uint64_t offset = zip::Read32(tail, at + zip::central::kLocalHeaderOffset);
        auto found = std::lower_bound(byOffset.begin(), byOffset.end(), offset,
                                      [](const ArchiveEntry* entry, uint64_t value) { return entry->offset < value; });
        if (found == byOffset.end() || (*found)->offset != offset || matched[found - byOffset.begin()])
            return false;
        const ArchiveEntry& entry = **found;
        // A folder as the library tells one: by its attributes or by the
        // separator that ends its name.
        const char lastNameByte = nameLength ? tail[at + zip::kCentralHeaderSize + nameLength - 1] : '\0';
        const bool folder = (zip::Read32(tail, at + zip::central::kExternalAttributes) & FILE_ATTRIBUTE_DIRECTORY) ||
                            lastNameByte == '/' || lastNameByte == '\\';
        // What the map says of the entry is what the archive says of it.
        if (folder != entry.folder || zip::Read32(tail, at + zip::central::kDosTime) != entry.dosDate ||
            zip::Read32(tail, at + zip::central::kCrc) != entry.crc ||
            zip::Read32(tail, at + zip::central::kCompressedSize) != entry.compressedSize ||
            zip::Read32(tail, at + zip::central::kUncompressedSize) != entry.uncompressedSize ||
            !LocalNameMatches(tail.substr(at + zip::kCentralHeaderSize, nameLength), flag, entry.name))
            return false;
        matched[found - byOffset.begin()] = true;
        at += zip::kCentralHeaderSize + skipped;
    }
    return at == end;
}
