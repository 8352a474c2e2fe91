// The zip format as the library and the launcher read it: record signatures,
// header sizes and field offsets, the general purpose flag bits, and how an
// entry name's bytes are decoded. The library extracts through minizip; the
// launcher's partial update reads and writes records itself, with these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zip {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;

/// General purpose flag: the CRC-32 and sizes follow the data, and the
/// header's fields are zero.
constexpr uint16_t kSizesAfterDataFlag = 1u << 3;
/// General purpose flag: the name is UTF-8 (otherwise code page 437).
constexpr uint16_t kUtf8NameFlag = 1u << 11;

/// Field offsets in a local header.
namespace local {
constexpr size_t kVersionNeeded = 4;
constexpr size_t kFlag = 6;
constexpr size_t kDosTime = 10; // time (low word) and date (high word)
constexpr size_t kCrc = 14;
constexpr size_t kCompressedSize = 18;
constexpr size_t kUncompressedSize = 22;
constexpr size_t kNameLength = 26;
constexpr size_t kExtraLength = 28;
} // namespace local

/// Field offsets in a central directory header.
namespace central {
constexpr size_t kFlag = 8;
constexpr size_t kDosTime = 12;
constexpr size_t kCrc = 16;
constexpr size_t kCompressedSize = 20;
constexpr size_t kUncompressedSize = 24;
constexpr size_t kNameLength = 28;
constexpr size_t kExtraLength = 30;
constexpr size_t kCommentLength = 32;
constexpr size_t kExternalAttributes = 38;
constexpr size_t kLocalHeaderOffset = 42;
} // namespace central

/// Field offsets in the end of central directory record.
namespace end_record {
constexpr size_t kEntriesOnDisk = 8;
constexpr size_t kEntries = 10;
constexpr size_t kCentralSize = 12;
constexpr size_t kCentralOffset = 16;
constexpr size_t kCommentLength = 20;
} // namespace end_record

/// Little-endian numbers at offset at of bytes (which must hold them).
uint16_t Read16(const std::string& bytes, size_t at);
uint32_t Read32(const std::string& bytes, size_t at);

/// An entry name as the archive means it: UTF-8 when flag has kUtf8NameFlag,
/// code page 437 (the format's own) otherwise. False for a name marked UTF-8
/// that is not UTF-8.
bool DecodeEntryName(const std::string& bytes, unsigned long flag, std::wstring& name);

} // namespace zip
