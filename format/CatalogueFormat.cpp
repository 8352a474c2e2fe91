// The catalogue files' shared rules: the index's section limit, SERIAL and
// its acceptance, ROLE, the keys file, EXPIRES and the UTC texts it compares,
// signed files checked, an index section made into a record, small thumbnails.
#include "format/CatalogueFormat.h"

#include "store/AtomicFile.h"
#include "store/Text.h"

#include <algorithm>
#include <filesystem>

bool IndexSectionsWithinLimit(const KeyValueStore& index)
{
    const KeyValueStore::Sections& sections = index.AllSections();
    const size_t global = sections.count(KeyValueStore::kGlobal);
    return sections.size() - global <= kMaxIndexSections;
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

int ParseNumber(const std::string& text)
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

int64_t ParseArchiveSize(const std::string& text)
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

SoftwareRecord BuildRecord(KeyValueSection& section, const std::string& baseAddress)
{
    // The keys asked for are upper case already, as the store keeps them;
    // the values move into the record: the index is read once and dropped.
    KeyValueSection::Entries& entries = section.Items();
    auto value = [&entries](const char* key) -> std::string* {
        auto it = entries.find(key);
        return it == entries.end() ? nullptr : &it->second;
    };
    auto take = [&value](const char* key, std::string& field) {
        if (std::string* found = value(key))
            field = std::move(*found);
    };
    auto address = [&value, &baseAddress](const char* key, std::string& field) {
        std::string* found = value(key);
        if (!found)
            return false;
        field.reserve(baseAddress.size() + found->size());
        field.append(baseAddress).append(*found);
        return true;
    };
    SoftwareRecord record;
    record.name = section.Name();
    take("DESCR", record.description);
    take("TITOLO", record.title);
    if (const std::string* build = value("BUILD_DISP"))
        record.availableBuild = ParseNumber(*build);
    if (const std::string* type = value("SW_TYPE"))
        record.type = ParseNumber(*type);
    address("THUMB", record.thumbnailAddress);
    if (!address("DOWNLOAD_FILE", record.downloadAddress)) {
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
    address("CHANGELOG_FILE", record.changelogAddress);
    take("TO_EXECUTE", record.programToExecute);
    take("CAT", record.category);
    take("DEPS", record.dependencies);
    if (const std::string* sha256 = value("SHA256")) {
        record.archiveSha256 = *sha256;
        record.archiveCheckMalformed = !IsSha256Hex(*sha256);
    }
    if (const std::string* size = value("SIZE")) {
        record.archiveSize = ParseArchiveSize(*size);
        record.archiveCheckMalformed = record.archiveCheckMalformed || record.archiveSize < 0;
    }
    auto check = [&value](const char* shaKey, const char* sizeKey, FileCheck& found) {
        if (const std::string* sha256 = value(shaKey)) {
            found.sha256 = *sha256;
            found.malformed = !IsSha256Hex(*sha256);
        }
        if (const std::string* size = value(sizeKey)) {
            found.size = ParseArchiveSize(*size);
            found.malformed = found.malformed || found.size < 0;
        }
    };
    check("THUMB_SHA256", "THUMB_SIZE", record.thumbnailCheck);
    check("CHANGELOG_SHA256", "CHANGELOG_SIZE", record.changelogCheck);
    // The entries file only spares bytes: a malformed key leaves the whole archive.
    if (const std::string* sha256 = value("ENTRIES_SHA256"))
        record.entriesSha256 = IsSha256Hex(*sha256) ? *sha256 : std::string();
    if (const std::string* size = value("ENTRIES_SIZE"))
        record.entriesSize = ParseArchiveSize(*size);
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
