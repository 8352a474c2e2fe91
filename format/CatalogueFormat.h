// The catalogue files as the maker writes them and the launcher reads them:
// the limits of their sizes, SERIAL and EXPIRES, the ROLE a signed file names,
// the keys file, an index section made into a record, and what a thumbnail
// must be. Shared by the launcher and the maker's tool, so both decide alike.
#pragma once

#include "format/SoftwareRecord.h"
#include "net/Crypto.h"
#include "store/KeyValueStore.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// A REDIRECT record counts only within the first lines of a catalogue file.
constexpr int kRedirectLines = 10;

/// Largest index or repository file accepted: a longer body is a failed download.
constexpr uint64_t kCatalogueFileLimit = 8ull * 1024 * 1024;

/// Most sections an index may hold; one with more is refused like a broken
/// download (the list could not show it in any useful time).
constexpr size_t kMaxIndexSections = 10000;

/// True when an index of that many sections (with or without "GLOBAL",
/// which is not counted) holds at most kMaxIndexSections.
bool IndexSectionsWithinLimit(size_t sections, bool globalAmongThem);
/// The same for an index read into a store.
bool IndexSectionsWithinLimit(const KeyValueStore& index);

/// SERIAL of a catalogue file: decimal digits only (at most 18); -1 for anything else.
long long ParseIndexSerial(const std::string& text);

/// The highest SERIAL a launcher accepts; what the publisher may write.
constexpr long long kMaxSerial = 999999999999999999ll;

/// The newest signed file of one kind a launcher has accepted under one key:
/// its SERIAL and the SHA-256 (lower-case hex) of its bytes ("" when unknown).
struct SerialRecord {
    long long serial = -1;
    std::string sha256;
};

/// The rule against going back: a signed file's SERIAL text must be present
/// and not lower than the highest accepted so far; an equal one passes only
/// for the very bytes accepted with it (sha256 of the file, lower-case hex),
/// or when those are unknown.
bool SerialAcceptable(const std::string& serialText, const std::string& sha256, const SerialRecord& highest);

/// What a signed catalogue file names itself in [PATHS] ROLE, so that a
/// signature for one file never passes for the other.
const char* CatalogueRole(bool isIndex); // "INDEX" or "REPOSITORY"

/// The ROLE of a signed file that sends the launcher elsewhere.
extern const char* const kRedirectRole; // "REDIRECT"

/// The ROLE of the maker's keys file, sw_keys.dat.
extern const char* const kKeysRole; // "KEYS"

/// What a keys file names: the online keys catalogue files may be signed
/// with ([KEYS] ONLINE=, ONLINE2=, ...: every key whose name begins with
/// ONLINE), and the root that succeeds the one that signed it (NEXT_ROOT=).
struct KeysFile {
    std::vector<PublicKey> online;
    std::string nextRootText; // as written; "" when none
    PublicKey nextRoot;       // empty when none, or not a P-256 key
};

/// Reads a keys file; false when it cannot be read. Keys that are no P-256
/// public keys are left out.
bool ReadKeysFile(const std::string& path, KeysFile& keys);

/// The key's fingerprint: the first 16 hex digits of the SHA-256 of its X and Y.
std::string KeyFingerprint(const PublicKey& key);

/// An EXPIRES text, "YYYY-MM-DDTHH:MM:SSZ" in UTC; false for any other form.
bool IsExpiryText(const std::string& text);

/// The time now (or the FILETIME given) in that form.
std::string ExpiryText(const FILETIME& utc);
std::string UtcNowText();

/// The time days ahead of now, in that form.
std::string UtcTextAhead(int days);

/// True when a signed file with this EXPIRES has expired at now ("" never
/// expires; a malformed text counts as expired).
bool CatalogueExpired(const std::string& expires, const std::string& now);

/// True when the file at path is what the signature file beside it (DER
/// ECDSA over the file's SHA-256) says key signed.
bool CatalogueFileSigned(const PublicKey& key, const std::wstring& path, const std::wstring& signaturePath);

/// Largest thumbnail accepted: a longer body is a failed download.
constexpr uint64_t kThumbnailLimit = 2ull * 1024 * 1024;

/// Decimal number at the start of text (after blanks and a sign); 0 when none.
int ParseNumber(std::string_view text);

/// SIZE of an index section: decimal bytes; -1 for anything else.
int64_t ParseArchiveSize(std::string_view text);

/// The keys of an index section that its record reads: each has a slot in
/// RecordValues, and kRecordKeyNames spells it as the store keeps it.
enum class RecordKey : size_t {
    Description,
    Title,
    Build,
    Type,
    Thumbnail,
    Download,
    Changelog,
    Execute,
    Category,
    Dependencies,
    Sha256,
    Size,
    ThumbnailSha256,
    ThumbnailSize,
    ChangelogSha256,
    ChangelogSize,
    EntriesSha256,
    EntriesSize,
    None // a key no record reads
};
constexpr size_t kRecordKeyCount = static_cast<size_t>(RecordKey::None);
extern const std::string_view kRecordKeyNames[kRecordKeyCount];

/// The record's key spelt so (upper case), or RecordKey::None.
RecordKey RecordKeyNamed(std::string_view upperKey);

/// One key's value in an index section; absent until the key is read.
/// Two words, so that a section's slots stay small.
class RecordValue {
public:
    RecordValue() = default;
    explicit RecordValue(std::string_view text)
        : m_data(text.data() ? text.data() : ""), m_size(static_cast<uint32_t>(text.size()))
    {
    }
    bool Present() const { return m_data != nullptr; }
    std::string_view Text() const { return m_data ? std::string_view(m_data, m_size) : std::string_view(); }

private:
    const char* m_data = nullptr;
    uint32_t m_size = 0;
};

/// The values of the keys a record reads, one slot per key.
struct RecordValues {
    std::array<RecordValue, kRecordKeyCount> slots;

    RecordValue& operator[](RecordKey key) { return slots[static_cast<size_t>(key)]; }
    const RecordValue& operator[](RecordKey key) const { return slots[static_cast<size_t>(key)]; }
};

/// Fills a new record with the index section name (upper case; the section
/// must hold SW_TYPE) from the values of its keys; filled where it stands,
/// as a large catalogue's records are, it is never moved.
void BuildRecord(const RecordValues& values, std::string name, const std::string& baseAddress, SoftwareRecord& record);
/// The same for a section read into a store.
SoftwareRecord BuildRecord(const KeyValueSection& section, const std::string& baseAddress);

/// Largest change log accepted: a longer body is a failed download.
constexpr uint64_t kChangelogLimit = 8ull * 1024 * 1024;

/// Largest side of a thumbnail, in pixels.
constexpr unsigned kThumbnailSide = 512;

/// True when bytes start with the PNG signature followed by an IHDR chunk
/// whose width and height are both between 1 and maxSide pixels.
bool IsSmallPng(const std::string& bytes, unsigned maxSide = kThumbnailSide);
