// The catalogue files' shared rules: the index's section limit, SERIAL and
// its acceptance, ROLE, the keys file, EXPIRES and the UTC texts it compares,
// signed files checked, an index section made into a record, small thumbnails.
#include "format/CatalogueFormat.h"

#include "store/AtomicFile.h"
#include "store/Text.h"

#include <algorithm>
#include <filesystem>

bool IndexSectionsWithinLimit(size_t sections, bool globalAmongThem)
{
    return sections - (globalAmongThem ? 1 : 0) <= kMaxIndexSections;
}

bool IndexSectionsWithinLimit(const KeyValueStore& index)
{
    const KeyValueStore::Sections& sections = index.AllSections();
    return IndexSectionsWithinLimit(sections.size(), sections.count(KeyValueStore::kGlobal) != 0);
}

long long ParseIndexSerial(const std::string& text)
{
    if (text.empty() || text.size() > 18)
        return -1;
    long long serial = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        serial = serial * 10 + (c - '0');
    }
    return serial;
}

bool SerialAcceptable(const std::string& serialText, const std::string& sha256, const SerialRecord& highest)
{
    const long long serial = ParseIndexSerial(serialText);
    if (serial < 0 || serial < highest.serial)
        return false;
    return serial > highest.serial || highest.sha256.empty() || highest.sha256 == sha256;
}

const char* CatalogueRole(bool isIndex) { return isIndex ? "INDEX" : "REPOSITORY"; }

const char* const kRedirectRole = "REDIRECT";

const char* const kKeysRole = "KEYS";

bool ReadKeysFile(const std::string& path, KeysFile& keys)
{
    keys = KeysFile();
    if (!PathExists(WideFromUtf8(path)))
        return false;
    KeyValueStore file;
    file.LoadFile(path);
    const KeyValueSection* section = file.FindSection("KEYS");
    if (!section)
        return true;
    for (const auto& entry : section->Items()) {
        PublicKey key;
        if (entry.first.compare(0, 6, "ONLINE") == 0 && ParsePublicKey(entry.second, key))
            keys.online.push_back(key);
    }
    keys.nextRootText = file.GetValue("KEYS", "NEXT_ROOT");
    if (!keys.nextRootText.empty())
        ParsePublicKey(keys.nextRootText, keys.nextRoot);
    return true;
}

std::string KeyFingerprint(const PublicKey& key)
{
    return UpperAscii(HexOf(Sha256Of(key.x + key.y)).substr(0, 16));
}

bool IsExpiryText(const std::string& text)
{
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kForm - 1)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (kForm[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kForm[i])
            return false;
    return true;
}

std::string ExpiryText(const FILETIME& utc)
{
    SYSTEMTIME time;
    if (!FileTimeToSystemTime(&utc, &time))
        return "";
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond);
    return text;
}

std::string UtcNowText()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ExpiryText(now);
}

std::string UtcTextAhead(int days)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time;
    time.LowPart = now.dwLowDateTime;
    time.HighPart = now.dwHighDateTime;
    time.QuadPart += static_cast<ULONGLONG>(days) * 24 * 3600 * 10000000ull;
    now.dwLowDateTime = time.LowPart;
    now.dwHighDateTime = time.HighPart;
    return ExpiryText(now);
}

bool CatalogueExpired(const std::string& expires, const std::string& now)
{
    if (expires.empty())
        return false;
    // The fixed form orders as its text does.
    return !IsExpiryText(expires) || expires <= now;
}

bool CatalogueFileSigned(const PublicKey& key, const std::wstring& path, const std::wstring& signaturePath)
{
    std::string bytes, signature;
    return !key.Empty() && ReadFileBytes(path, bytes) && ReadFileBytes(signaturePath, signature) &&
           VerifySignature(key, bytes, signature);
}

int ParseNumber(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            value = static_cast<long long>(INT_MAX) + 1; // saturate; clamped below
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

int64_t ParseArchiveSize(std::string_view text)
{
    // Decimal bytes and nothing else: a size that reads as something else
    // must not quietly become another size.
    if (text.empty() || text.size() > 18)
        return -1;
    int64_t size = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        size = size * 10 + (c - '0');
    }
    return size;
}

// In the order of RecordKey.
const std::string_view kRecordKeyNames[kRecordKeyCount] = {
    "DESCR",         "TITOLO",         "BUILD_DISP",       "SW_TYPE",        "THUMB",          "DOWNLOAD_FILE",
    "CHANGELOG_FILE", "TO_EXECUTE",    "CAT",              "DEPS",           "SHA256",         "SIZE",
    "THUMB_SHA256",  "THUMB_SIZE",     "CHANGELOG_SHA256", "CHANGELOG_SIZE", "ENTRIES_SHA256", "ENTRIES_SIZE",
};

RecordKey RecordKeyNamed(std::string_view upperKey)
{
    // Compared byte by byte here: the C runtime's memcmp under Wine costs a
    // call, and this runs for every entry of an index.
    auto same = [upperKey](std::string_view name) {
        if (name.size() != upperKey.size())
            return false;
        for (size_t i = 0; i < name.size(); ++i)
            if (name[i] != upperKey[i])
                return false;
        return true;
    };
    size_t slot = 0;
    while (slot < kRecordKeyCount && !same(kRecordKeyNames[slot]))
        ++slot;
    return static_cast<RecordKey>(slot);
}

void BuildRecord(const RecordValues& values, std::string name, const std::string& baseAddress, SoftwareRecord& record)
{
    std::string_view texts[kRecordKeyCount];
    for (size_t slot = 0; slot < kRecordKeyCount; ++slot)
        texts[slot] = values.slots[slot].Text();
    auto value = [&values, &texts](RecordKey key) -> const std::string_view* {
        return values[key].Present() ? &texts[static_cast<size_t>(key)] : nullptr;
    };
    auto take = [&value](RecordKey key, std::string& field) {
        if (const std::string_view* found = value(key))
            field.assign(found->data(), found->size());
    };
    auto address = [&value, &baseAddress](RecordKey key, std::string& field) {
        const std::string_view* found = value(key);
        if (!found)
            return false;
        field.reserve(baseAddress.size() + found->size());
        field.append(baseAddress).append(*found);
        return true;
    };
    auto number = [&value](RecordKey key, int& field) {
        if (const std::string_view* found = value(key))
            field = ParseNumber(*found);
    };
    auto size = [&value](RecordKey key, int64_t& field) {
        const std::string_view* found = value(key);
        if (found)
            field = ParseArchiveSize(*found);
        return found != nullptr;
    };
    record.name = std::move(name);
    take(RecordKey::Description, record.description);
    take(RecordKey::Title, record.title);
    number(RecordKey::Build, record.availableBuild);
    number(RecordKey::Type, record.type);
    address(RecordKey::Thumbnail, record.thumbnailAddress);
    if (!address(RecordKey::Download, record.downloadAddress)) {
        // Built in one buffer: a chain of + would allocate at every step.
        std::string& download = record.downloadAddress;
        if (record.type == 100) {
            download.reserve(baseAddress.size() + record.name.size() + 9);
            download.append(baseAddress).append("deps/").append(record.name).append(".zip");
        } else {
            const std::string build = std::to_string(record.availableBuild);
            download.reserve(baseAddress.size() + 2 * record.name.size() + build.size() + 6);
            download.append(baseAddress).append(record.name).append("/").append(record.name);
            download.append("_").append(build).append(".zip");
        }
    }
    address(RecordKey::Changelog, record.changelogAddress);
    take(RecordKey::Execute, record.programToExecute);
    take(RecordKey::Category, record.category);
    take(RecordKey::Dependencies, record.dependencies);
    auto check = [&](RecordKey shaKey, RecordKey sizeKey, std::string& sha256, int64_t& bytes, bool& malformed) {
        if (const std::string_view* found = value(shaKey)) {
            sha256.assign(found->data(), found->size());
            malformed = !IsSha256Hex(sha256);
        }
        if (size(sizeKey, bytes))
            malformed = malformed || bytes < 0;
    };
    check(RecordKey::Sha256, RecordKey::Size, record.archiveSha256, record.archiveSize, record.archiveCheckMalformed);
    check(RecordKey::ThumbnailSha256, RecordKey::ThumbnailSize, record.thumbnailCheck.sha256, record.thumbnailCheck.size,
          record.thumbnailCheck.malformed);
    check(RecordKey::ChangelogSha256, RecordKey::ChangelogSize, record.changelogCheck.sha256, record.changelogCheck.size,
          record.changelogCheck.malformed);
    // The entries file only spares bytes: a malformed key leaves the whole archive.
    take(RecordKey::EntriesSha256, record.entriesSha256);
    if (!IsSha256Hex(record.entriesSha256))
        record.entriesSha256.clear();
    size(RecordKey::EntriesSize, record.entriesSize);
}

SoftwareRecord BuildRecord(const KeyValueSection& section, const std::string& baseAddress)
{
    // The store keeps its keys upper case, as the names are spelt.
    RecordValues values;
    for (size_t slot = 0; slot < kRecordKeyCount; ++slot) {
        auto found = section.Items().find(std::string(kRecordKeyNames[slot]));
        if (found != section.Items().end())
            values.slots[slot] = RecordValue(found->second);
    }
    SoftwareRecord record;
    BuildRecord(values, section.Name(), baseAddress, record);
    return record;
}

bool IsSmallPng(const std::string& bytes, unsigned maxSide)
{
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    // The signature, then the first chunk: length 13, "IHDR", width, height.
    if (bytes.size() < 24 || memcmp(bytes.data(), kSignature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return false;
    const auto bigEndian = [&bytes](size_t at) {
        unsigned long value = 0;
        for (size_t i = 0; i < 4; ++i)
            value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    const unsigned long width = bigEndian(16);
    const unsigned long height = bigEndian(20);
    return bigEndian(8) == 13 && width > 0 && height > 0 && width <= maxSide && height <= maxSide;
}
