#include "publish/SiteCheck.h"

#include "format/ArchiveEntries.h"
#include "format/CatalogueFormat.h"
#include "format/ServerFile.h"
#include "net/Crypto.h"
#include "publish/DataFileLines.h"
#include "publish/Site.h"
#include "format/LauncherImage.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <minizip/unzip.h>
// iowin32.h needs the zlib declarations above it.
#include <minizip/iowin32.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

namespace {

// The library reads entry names into a buffer of this many bytes.
constexpr size_t kMaxEntryName = 260;
// Thumbnails larger than this are not shown.
constexpr unsigned long kMaxThumbnailSide = 512;
// The launcher looks for a REDIRECT only in a catalogue file's first lines.
constexpr int kRedirectLines = 10;

std::string Where(const std::string& file, const std::string& section, const std::string& key)
{
    std::string text = file + ": ";
    if (!section.empty())
        text += "[" + section + "] ";
    if (!key.empty())
        text += key + ": ";
    return text;
}

/// An archive as the check sees it: whether it opened, and its entry names.
struct ArchiveContent {
    bool opened = false;
    std::vector<std::string> entries;
    std::string future; // the first entry dated after now (local time, as the library reads it)
};

ArchiveContent ReadArchiveEntries(const std::wstring& path)
{
    ArchiveContent content;
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    unzFile archive = unzOpen2_64(path.c_str(), &functions);
    if (!archive)
        return content;
    content.opened = true;
    for (int at = unzGoToFirstFile(archive); at == UNZ_OK; at = unzGoToNextFile(archive)) {
        unz_file_info64 info;
        char name[kMaxEntryName + 2] = {};
        if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        std::string entry(name);
        if (info.size_filename > entry.size())
            entry += "...";
        content.entries.push_back(entry);
        // The library reads the DOS time as local time.
        FILETIME local, utc;
        if (content.future.empty() &&
            DosDateTimeToFileTime(static_cast<WORD>(info.dosDate >> 16), static_cast<WORD>(info.dosDate & 0xFFFF),
                                  &local) &&
            LocalFileTimeToFileTime(&local, &utc) && InTheFuture(utc))
            content.future = entry;
    }
    unzClose(archive);
    return content;
}

/// Why the library refuses an archive, for the maker.
std::string RefusalReason(const ArchiveContent& content)
{
    if (!content.opened)
        return "does not open as a zip archive";
    if (content.entries.empty())
        return "has no entries";
    for (const std::string& entry : content.entries) {
        if (entry.size() > kMaxEntryName)
            return "entry \"" + entry + "\" has a name over 260 bytes";
        if (!IsSafeEntryName(entry))
            return "entry \"" + entry +
                   "\" is no plain relative name (\"..\", a drive, a device name such as AUX, a trailing dot or "
                   "space)";
    }
    return "cannot be read whole";
}

bool FileSize(const std::wstring& path, uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

/// "" for a PNG of at most 512 x 512, else what is wrong with it.
std::string ThumbnailProblem(const std::string& bytes)
{
    static const char signature[] = "\x89PNG\r\n\x1A\n";
    if (bytes.size() < 24 || bytes.compare(0, 8, signature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return "is no PNG";
    auto number = [&bytes](size_t at) {
        unsigned long value = 0;
        for (size_t i = 0; i < 4; ++i)
            value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    unsigned long width = number(16), height = number(20);
    if (width > kMaxThumbnailSide || height > kMaxThumbnailSide)
        return "is " + std::to_string(width) + " x " + std::to_string(height) + " pixels, over 512 x 512";
    // The launcher's own rule decides what else passes.
    if (!IsSmallPng(bytes, kMaxThumbnailSide))
        return "has an IHDR the launcher refuses (" + std::to_string(width) + " x " + std::to_string(height) +
               " pixels)";
    return std::string();
}

/// Farthest EXPIRES check accepts without a word.
constexpr int kFarExpiryDays = 90;

class SiteChecker {
public:
    SiteChecker(const std::wstring& site, const std::string& key, const std::string& root)
        : m_site(site), m_key(key.empty() && !root.empty() ? "ROOT=" + root : key), m_root(root)
    {
    }

    SiteReport Run()
    {
        std::string indexBytes, repositoryBytes;
        const bool haveIndex = ReadCatalogueFile(kIndexFile, indexBytes);
        const bool haveRepository = ReadCatalogueFile(kRepositoryFile, repositoryBytes);
        // A catalogue file over the launcher's limit never arrives: its lines do not matter.
        const bool indexArrives = haveIndex && WithinLimit(kIndexFile, indexBytes.size(), kCatalogueFileLimit);
        if (indexArrives)
            CheckIndex(indexBytes);
        if (haveRepository && WithinLimit(kRepositoryFile, repositoryBytes.size(), kCatalogueFileLimit))
            CheckRepository(repositoryBytes);
        if (!m_key.empty()) {
            CheckSignatures(haveIndex, indexBytes, haveRepository, repositoryBytes);
            if (indexArrives)
                CheckSerial();
        }
        return m_report;
    }

private:
    void Problem(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& text)
    {
        m_report.problems.push_back(Where(file, section, key) + text);
    }

    /// The launcher stops a download over its limit and keeps what it had.
    bool WithinLimit(const std::string& file, uint64_t size, uint64_t limit)
    {
        if (size <= limit)
            return true;
        Problem(file, "", "",
                std::to_string(size) + " bytes, over " + std::to_string(limit) +
                    ": the launcher refuses the download and keeps what it had");
        return false;
    }

    bool ReadCatalogueFile(const char* name, std::string& bytes)
    {
        if (ReadFileBytes(SitePath(m_site, name), bytes))
            return true;
        Problem(name, "", "", "missing");
        return false;
    }

    /// The launcher's reading of a catalogue file: a line over 1023 bytes
    /// ends it, and a REDIRECT counts only in the first lines.
    void CheckLinesAndRedirect(const char* file, const std::string& bytes, KeyValueStore& store)
    {
        DataFileLines lines(bytes);
        DataFileLines::Origin origin;
        if (lines.FirstOverlongLine(origin)) {
            std::string key = origin.key.size() > 40 ? origin.key.substr(0, 40) + "..." : origin.key;
            Problem(file, origin.section == KeyValueStore::kGlobal ? "" : origin.section, key,
                    "line " + std::to_string(origin.number) + " is " + std::to_string(origin.bytes) +
                        " bytes, over 1023: the launcher stops reading there and drops the rest of the file");
        }
        store.LoadText(bytes);
        KeyValueStore head;
        head.LoadText(bytes, kRedirectLines);
        const std::string redirect = store.GetValue("REDIRECT", "URL");
        if (!head.GetValue("REDIRECT", "URL").empty())
            m_redirecting.insert(file);
        if (!redirect.empty() && head.GetValue("REDIRECT", "URL").empty())
            Problem(file, "REDIRECT", "URL",
                    "past line 10: the launcher looks for it only in the first 10 lines and ignores it");
        else if (!redirect.empty())
            m_report.notes.push_back(Where(file, "REDIRECT", "URL") + "the launcher reads " + redirect +
                                     " instead of this file; that file is not checked");
    }

    void CheckIndex(const std::string& bytes)
    {
        KeyValueStore index;
        CheckLinesAndRedirect(kIndexFile, bytes, index);
        m_index = index;
        m_base = index.GetValue("PATHS", "BASE");
        if (!m_base.empty() && m_base.back() != '/')
            Problem(kIndexFile, "PATHS", "BASE",
                    "\"" + m_base + "\" does not end with \"/\": every address is joined to it as it is, so every "
                    "download fails");
        if (!IndexSectionsWithinLimit(index)) {
            const size_t sections = index.AllSections().size() - index.AllSections().count(KeyValueStore::kGlobal);
            Problem(kIndexFile, "", "",
                    std::to_string(sections) + " sections, over " + std::to_string(kMaxIndexSections) +
                        ": the launcher refuses the index whole and lists nothing of it");
            return;
        }

        // Sections in the launcher's order; the records it would build.
        std::map<std::string, SoftwareRecord> records;
        for (auto& entry : index.AllSections()) {
            KeyValueSection& section = entry.second;
            const std::string& name = section.Name();
            if (name == KeyValueStore::kGlobal || name == "PATHS" || name == "REDIRECT")
                continue;
            if (!IsSafeFileName(name)) {
                Problem(kIndexFile, name, "",
                        "the section name is no plain file name (\"..\", \"/\", a device name such as NUL, a "
                        "trailing dot or space, over 64 bytes): the launcher never lists it");
                continue;
            }
            if (!section.Find("SW_TYPE")) {
                Problem(kIndexFile, name, "SW_TYPE", "missing: the launcher does not take the section for a program");
                continue;
            }
            if (!IsPlainProgramName(name))
                Problem(kIndexFile, name, "",
                        "the name holds more than ASCII letters, digits, \"_\" and \"-\": it goes into web addresses "
                        "unencoded");
            KeyValueSection copy = section;
            records.emplace(name, BuildRecord(copy, m_base));
        }
        // Packages first: a program's TO_EXECUTE may come with one of them.
        for (const bool packages : {true, false})
            for (const auto& entry : records)
                if ((entry.second.type == 100) == packages)
                    CheckRecord(entry.second, records);
    }

    void CheckRecord(const SoftwareRecord& record, const std::map<std::string, SoftwareRecord>& records)
    {
        const std::string& name = record.name;
        const bool package = record.type == 100;
        std::vector<const SoftwareRecord*> dependencies;
        if (!record.dependencies.empty()) {
            // Split as the installer does: at every comma, nothing trimmed.
            size_t start = 0;
            for (;;) {
                size_t comma = record.dependencies.find(',', start);
                const std::string dependency = record.dependencies.substr(start, comma - start);
                auto found = records.find(dependency);
                if (found == records.end() || found->second.type != 100)
                    Problem(kIndexFile, name, "DEPS",
                            "\"" + dependency + "\" names no package section: every installation of " + name +
                                " stops with \"Error downloading\"");
                else
                    dependencies.push_back(&found->second);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        }

        if (!package && record.availableBuild == 0)
            Problem(kIndexFile, name, "BUILD_DISP",
                    "0 is what the launcher records for \"not installed\": the program is never seen as installed");

        const std::string addressKey =
            m_index.HasKey(name, "DOWNLOAD_FILE") ? "DOWNLOAD_FILE" : (package ? "SW_TYPE" : "BUILD_DISP");
        const ArchiveContent* archive = CheckArchive(record, addressKey);
        if (archive && record.type >= kLauncherSectionType)
            CheckLauncherArchive(record);
        if (archive && !package && !record.programToExecute.empty()) {
            std::set<std::string> entries;
            bool complete = true;
            for (const SoftwareRecord* dependency : dependencies) {
                const ArchiveContent* content = m_archives.count(dependency->name) ? &m_archives[dependency->name]
                                                                                    : nullptr;
                if (!content)
                    complete = false;
                else
                    for (const std::string& entry : content->entries)
                        entries.insert(FoldedEntryName(entry));
            }
            for (const std::string& entry : archive->entries)
                entries.insert(FoldedEntryName(entry));
            if (complete && !entries.count(FoldedEntryName(record.programToExecute)))
                Problem(kIndexFile, name, "TO_EXECUTE",
                        "\"" + record.programToExecute + "\" is in neither the archive nor its packages' archives");
        }

        CheckSiteFile(name, "THUMB", record.thumbnailAddress, record.thumbnailCheck, true);
        CheckSiteFile(name, "CHANGELOG_FILE", record.changelogAddress, record.changelogCheck, false);
    }

    /// A launcher section's archive must hold the build it names, of the
    /// section's width, with a library of that width.
    void CheckLauncherArchive(const SoftwareRecord& record)
    {
        ImageWidth width = ImageWidth::Unknown;
        for (ImageWidth candidate : {ImageWidth::I686, ImageWidth::X86_64})
            if (record.name == LauncherSection(candidate))
                width = candidate;
        if (width == ImageWidth::Unknown)
            return;
        std::string relative;
        if (!AddressBelowBase(record.downloadAddress, m_base, relative))
            return;
        wchar_t temporary[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temporary);
        const std::wstring folder = std::wstring(temporary) + L"morvindex-check-" +
                                    std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
        LauncherBuild found;
        if (!UnzipArchive(SitePath(m_site, relative), folder))
            found.problem = "cannot be unpacked";
        else
            found = InspectLauncherFolder(folder + L"\\");
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        const std::string what = "launcher archive " + relative + " ";
        if (!found.problem.empty())
            Problem(kIndexFile, record.name, "DOWNLOAD_FILE", what + found.problem + ": launchers refuse it");
        else if (found.width != width)
            Problem(kIndexFile, record.name, "DOWNLOAD_FILE",
                    what + "holds an " + WidthName(found.width) + " MorvIndex.exe in the section for " +
                        WidthName(width) + ": launchers refuse it");
        else if (found.build != record.availableBuild)
            Problem(kIndexFile, record.name, "BUILD_DISP",
                    std::to_string(record.availableBuild) + ", but " + what + "holds build " +
                        std::to_string(found.build) + ": launchers refuse it");
    }

    /// The archive of a record, checked; null when it is missing, refused or not in the site.
    const ArchiveContent* CheckArchive(const SoftwareRecord& record, const std::string& addressKey)
    {
        const std::string& name = record.name;
        std::string relative;
        if (!AddressBelowBase(record.downloadAddress, m_base, relative)) {
            if (m_base.empty() && record.downloadAddress.find("://") == std::string::npos)
                Problem(kIndexFile, name, addressKey,
                        "the archive's address \"" + record.downloadAddress +
                            "\" is relative: [PATHS] BASE is missing");
            else
                m_report.notes.push_back(Where(kIndexFile, name, addressKey) + "archive " +
                                         record.downloadAddress + " is outside the site: not checked");
            return nullptr;
        }
        const std::wstring path = SitePath(m_site, relative);
        uint64_t size = 0;
        if (!FileSize(path, size)) {
            Problem(kIndexFile, name, addressKey, "archive " + relative + " is missing");
            return nullptr;
        }
        // SHA256 and SIZE as the launcher reads them into the record.
        if (m_index.HasKey(name, "SIZE")) {
            if (record.archiveSize < 0)
                Problem(kIndexFile, name, "SIZE",
                        "\"" + m_index.GetValue(name, "SIZE") + "\" is no decimal number of bytes: no archive matches");
            else if (static_cast<uint64_t>(record.archiveSize) != size)
                Problem(kIndexFile, name, "SIZE",
                        std::to_string(record.archiveSize) + " bytes, but archive " + relative + " has " +
                            std::to_string(size));
        }
        if (m_index.HasKey(name, "SHA256")) {
            std::string digest;
            if (!IsSha256Hex(record.archiveSha256))
                Problem(kIndexFile, name, "SHA256",
                        "\"" + record.archiveSha256 + "\" is not 64 hex digits: no archive matches");
            else if (!Sha256OfFile(path, digest))
                Problem(kIndexFile, name, "SHA256", "archive " + relative + " cannot be read");
            else if (!DigestMatchesHex(digest, record.archiveSha256))
                Problem(kIndexFile, name, "SHA256",
                        "differs from archive " + relative + ", whose SHA-256 is " + HexOf(digest));
        } else if (!m_key.empty()) {
            Problem(kIndexFile, name, "SHA256",
                    "missing: with the key set the launcher installs no archive without it (" + relative + ")");
        }
        ArchiveContent& content = m_archives[name];
        content = ReadArchiveEntries(path);
        if (!IsAcceptableArchive(path)) {
            Problem(kIndexFile, name, addressKey,
                    "archive " + relative + " " + RefusalReason(content) + ": the library refuses it");
            m_archives.erase(name);
            return nullptr;
        }
        const std::string clash = CaseClash(content.entries);
        if (!clash.empty())
            Problem(kIndexFile, name, addressKey,
                    "archive " + relative + " entries " + clash + " are one path on Windows: every installation fails");
        if (!content.future.empty())
            Problem(kIndexFile, name, addressKey,
                    "archive " + relative + " entry \"" + content.future +
                        "\" is dated in the future: later builds with an older date never replace it");
        CheckEntriesFile(record, relative, path);
        return &content;
    }

    /// The entries file beside an archive must map that archive exactly. One
    /// the launcher cannot use costs a whole-archive fetch; one it trusts but
    /// that maps another archive (a re-zip that kept the ENTRIES_ keys) makes
    /// updates fetch the wrong parts first.
    void CheckEntriesFile(const SoftwareRecord& record, const std::string& relative, const std::wstring& archive)
    {
        const std::string& name = record.name;
        const bool hasSha256 = m_index.HasKey(name, "ENTRIES_SHA256");
        const bool hasSize = m_index.HasKey(name, "ENTRIES_SIZE");
        if (!hasSha256 && !hasSize)
            return;
        const std::string entriesRelative = relative + ".entries";
        const std::string lost = ": updates fetch the whole archive";
        if (record.entriesSha256.empty() || record.entriesSize < 0) {
            const char* key = !hasSha256 || record.entriesSha256.empty() ? "ENTRIES_SHA256" : "ENTRIES_SIZE";
            Problem(kIndexFile, name, key,
                    (m_index.HasKey(name, key) ? "\"" + m_index.GetValue(name, key) + "\" is malformed"
                                               : std::string("missing beside the other ENTRIES_ key")) + lost);
            return;
        }
        std::string text;
        if (!ReadFileBytes(SitePath(m_site, entriesRelative), text)) {
            Problem(kIndexFile, name, "ENTRIES_SHA256", "entries file " + entriesRelative + " is missing" + lost);
            return;
        }
        if (text.size() != static_cast<uint64_t>(record.entriesSize))
            Problem(kIndexFile, name, "ENTRIES_SIZE",
                    std::to_string(record.entriesSize) + " bytes, but " + entriesRelative + " has " +
                        std::to_string(text.size()) + lost);
        if (!DigestMatchesHex(Sha256Of(text), record.entriesSha256))
            Problem(kIndexFile, name, "ENTRIES_SHA256",
                    "differs from " + entriesRelative + ", whose SHA-256 is " + HexOf(Sha256Of(text)) + lost);
        if (text.size() != static_cast<uint64_t>(record.entriesSize) ||
            !DigestMatchesHex(Sha256Of(text), record.entriesSha256))
            return;
        // The launcher takes this map: it fetches the parts it points to,
        // then finds files that differ from the archive and fetches the whole.
        const std::string misread = ": an update fetches the parts this map points to, finds files that differ "
                                    "from the archive and then fetches the whole archive (launchers that do not "
                                    "check leave those files old under the new build); sign refuses the site";
        ArchiveEntries actual;
        std::string problem;
        if (!DescribeArchive(archive, actual))
            problem = "archive " + relative + " cannot be mapped entry by entry" + misread;
        else if (FormatEntriesFile(actual) != text)
            problem = entriesRelative + " does not map archive " + relative + " as it is" + misread;
        if (problem.empty())
            return;
        Problem(kIndexFile, name, "ENTRIES_SHA256", problem);
        m_report.misleadingEntries.push_back(m_report.problems.back());
    }

    void CheckSiteFile(const std::string& name, const char* key, const std::string& address, const FileCheck& check,
                       bool thumbnail)
    {
        if (!m_index.HasKey(name, key))
            return;
        std::string relative;
        if (!AddressBelowBase(address, m_base, relative)) {
            m_report.notes.push_back(Where(kIndexFile, name, key) + address + " is outside the site: not checked");
            return;
        }
        std::string bytes;
        if (!ReadFileBytes(SitePath(m_site, relative), bytes)) {
            Problem(kIndexFile, name, key, relative + " is missing");
            return;
        }
        const uint64_t limit = thumbnail ? kThumbnailLimit : kChangelogLimit;
        if (bytes.size() > limit) {
            Problem(kIndexFile, name, key,
                    relative + " is " + std::to_string(bytes.size()) + " bytes, over " + std::to_string(limit) +
                        ": the launcher does not download it");
            return;
        }
        std::string problem = thumbnail ? ThumbnailProblem(bytes) : std::string();
        if (!problem.empty()) {
            Problem(kIndexFile, name, key, relative + " " + problem + ": the list shows the standard picture");
            return;
        }
        // Its SHA256 and SIZE, as the launcher reads them into the record.
        const std::string prefix = thumbnail ? "THUMB" : "CHANGELOG";
        const std::string refresh = " (add " + name + " again writes them)";
        if (check.malformed)
            Problem(kIndexFile, name, prefix + "_SHA256",
                    prefix + "_SHA256 or " + prefix + "_SIZE is no digest or size: the launcher uses no file");
        else if (!check.sha256.empty() && !DigestMatchesHex(Sha256Of(bytes), check.sha256))
            Problem(kIndexFile, name, prefix + "_SHA256", "differs from " + relative + refresh);
        else if (check.size >= 0 && static_cast<uint64_t>(check.size) != bytes.size())
            Problem(kIndexFile, name, prefix + "_SIZE",
                    std::to_string(check.size) + " bytes, but " + relative + " has " + std::to_string(bytes.size()) +
                        refresh);
        else if (check.sha256.empty() && !m_key.empty())
            Problem(kIndexFile, name, prefix + "_SHA256",
                    "missing: with the key set the launcher does not use " + relative + refresh);
    }

    void CheckRepository(const std::string& bytes)
    {
        KeyValueStore& repository = m_repository;
        CheckLinesAndRedirect(kRepositoryFile, bytes, repository);
        int servers = 0;
        for (const auto& entry : repository.AllSections()) {
            const std::string& name = entry.first;
            if (name == KeyValueStore::kGlobal || name == "REDIRECT" || name == "PATHS")
                continue;
            if (repository.HasKey(name, "URL"))
                ++servers;
            else
                Problem(kRepositoryFile, name, "URL", "missing: the section is no server");
        }
        if (servers == 0)
            Problem(kRepositoryFile, "", "", "no section with a URL: the server list is empty");
    }

    void CheckSignatures(bool haveIndex, const std::string& index, bool haveRepository, const std::string& repository)
    {
        std::vector<PublicKey> signers;
        if (!m_root.empty()) {
            signers = CheckKeysFile();
            if (signers.empty())
                return;
        } else {
            std::string text = m_key.compare(0, 4, "KEY=") == 0 ? m_key.substr(4) : m_key;
            PublicKey key;
            if (!ParsePublicKey(text, key)) {
                m_report.problems.push_back(
                    "--key: not the KEY= text of server.dat (base64 of the DER SubjectPublicKeyInfo of a P-256 key)");
                return;
            }
            signers.push_back(key);
        }
        const auto signedByOne = [&signers](const std::wstring& file, const std::wstring& signature) {
            for (const PublicKey& key : signers)
                if (CatalogueFileSigned(key, file, signature))
                    return true;
            return false;
        };
        const std::pair<const char*, const std::string*> files[] = {
            {kIndexFile, haveIndex ? &index : nullptr}, {kRepositoryFile, haveRepository ? &repository : nullptr}};
        for (const auto& file : files) {
            if (!file.second)
                continue;
            const std::string signatureFile = std::string(file.first) + kSignatureSuffix;
            const std::wstring signaturePath = SitePath(m_site, signatureFile);
            if (GetFileAttributesW(signaturePath.c_str()) == INVALID_FILE_ATTRIBUTES)
                Problem(signatureFile, "", "",
                        std::string("missing: with the key set the launcher refuses ") + file.first);
            else if (!signedByOne(SitePath(m_site, file.first), signaturePath))
                Problem(signatureFile, "", "",
                        std::string("not a signature of ") + file.first +
                            (m_root.empty() ? " with this key (changed after signing, or signed with another key)"
                                            : " with an online key of sw_keys.dat (changed after signing, or signed "
                                              "with a key the keys file does not list)"));
        }
    }

    /// The root's keys file, read as a launcher that holds this root reads
    /// it: its signature (and the successor's, for a file naming one), ROLE,
    /// SERIAL and EXPIRES. The online keys it lists; none after a problem.
    std::vector<PublicKey> CheckKeysFile()
    {
        PublicKey root;
        if (!ParsePublicKey(m_root, root)) {
            m_report.problems.push_back("--key: the ROOT= of server.dat is no P-256 public key");
            return {};
        }
        const std::wstring path = SitePath(m_site, kKeysFile);
        const std::string signatureFile = std::string(kKeysFile) + kSignatureSuffix;
        std::string bytes;
        if (!ReadFileBytes(path, bytes)) {
            Problem(kKeysFile, "", "", "missing: with a ROOT in server.dat the launcher trusts no catalogue without it");
            return {};
        }
        KeysFile keys;
        ReadKeysFile(Utf8FromWide(path), keys);
        KeyValueStore store;
        store.LoadText(bytes);
        bool problem = false;
        if (!CatalogueFileSigned(root, path, SitePath(m_site, signatureFile))) {
            Problem(signatureFile, "", "", "not a signature of sw_keys.dat with this ROOT (the keys command writes it)");
            problem = true;
        }
        if (!keys.nextRootText.empty() &&
            (keys.nextRoot.Empty() ||
             !CatalogueFileSigned(keys.nextRoot, path, SitePath(m_site, std::string(kKeysFile) + ".next.sig")))) {
            Problem(kKeysFile, "KEYS", "NEXT_ROOT",
                    "sw_keys.dat.next.sig is no signature of sw_keys.dat with this key: the launcher refuses the file");
            problem = true;
        }
        if (store.GetValue("PATHS", "ROLE") != kKeysRole) {
            Problem(kKeysFile, "PATHS", "ROLE", "not KEYS: the launcher refuses the file");
            problem = true;
        }
        if (ParseIndexSerial(store.GetValue("PATHS", "SERIAL")) < 0) {
            Problem(kKeysFile, "PATHS", "SERIAL", "missing or no decimal number: the launcher refuses the file");
            problem = true;
        }
        const std::string expires = store.GetValue("PATHS", "EXPIRES");
        if (expires.empty() || CatalogueExpired(expires, UtcNowText())) {
            Problem(kKeysFile, "PATHS", "EXPIRES",
                    (expires.empty() ? std::string("missing") : expires + " has passed or is unreadable") +
                        ": the launcher refuses the file; write it again with the keys command");
            problem = true;
        }
        if (keys.online.empty()) {
            Problem(kKeysFile, "KEYS", "ONLINE", "no P-256 public key: nothing can sign the catalogue");
            problem = true;
        }
        return problem ? std::vector<PublicKey>() : keys.online;
    }

    /// A signed file's EXPIRES: past or unreadable, the launcher installs
    /// nothing from it; missing or far ahead, a list held back from the
    /// launcher goes unnoticed that long.
    void CheckExpiry(const char* file, const KeyValueStore& store, bool redirect)
    {
        const std::string expires = store.GetValue("PATHS", "EXPIRES");
        if (!store.HasKey("PATHS", "EXPIRES"))
            Problem(file, "PATHS", "EXPIRES",
                    redirect ? "missing: with the key set the launcher does not follow the REDIRECT"
                             : "missing: a launcher could be shown this file, held back by a mirror or an attacker, "
                               "for ever; sign sets it 30 days ahead");
        else if (!IsExpiryText(expires))
            Problem(file, "PATHS", "EXPIRES",
                    "\"" + expires + "\" is not of the form 2027-01-07T14:53:00Z: the launcher counts it as expired");
        else if (CatalogueExpired(expires, UtcNowText()))
            Problem(file, "PATHS", "EXPIRES",
                    expires + " has passed: the launcher installs and updates nothing from it; sign or refresh it");
        else if (expires > UtcTextAhead(kFarExpiryDays))
            Problem(file, "PATHS", "EXPIRES",
                    expires + " is more than " + std::to_string(kFarExpiryDays) +
                        " days ahead: a list held back from the launcher goes unnoticed that long; refresh it daily "
                        "with a nearer one");
    }

    void CheckSerial()
    {
        for (bool isIndex : {true, false}) {
            const KeyValueStore& store = isIndex ? m_index : m_repository;
            const char* file = isIndex ? kIndexFile : kRepositoryFile;
            const std::string what = isIndex ? "the index" : "the server list";
            const bool redirect = m_redirecting.count(file) > 0;
            CheckExpiry(file, store, redirect);
            if (redirect) {
                const std::string role = store.GetValue("PATHS", "ROLE");
                if (role != kRedirectRole)
                    Problem(file, "PATHS", "ROLE",
                            (role.empty() ? std::string("missing") : "\"" + role + "\"") +
                                ": with the key set the launcher follows a REDIRECT only from a file that says "
                                "REDIRECT (sign sets it)");
                if (ParseIndexSerial(store.GetValue("PATHS", "SERIAL")) < 0)
                    Problem(file, "PATHS", "SERIAL",
                            "missing or no decimal number: with the key set the launcher does not follow the REDIRECT");
                continue;
            }
            const std::string serial = store.GetValue("PATHS", "SERIAL");
            if (!store.HasKey("PATHS", "SERIAL"))
                Problem(file, "PATHS", "SERIAL", "missing: with the key set the launcher refuses " + what);
            else if (ParseIndexSerial(serial) < 0)
                Problem(file, "PATHS", "SERIAL",
                        "\"" + serial + "\" is no decimal number: with the key set the launcher refuses " + what);
            const std::string role = store.GetValue("PATHS", "ROLE");
            if (role != CatalogueRole(isIndex))
                Problem(file, "PATHS", "ROLE",
                        (role.empty() ? std::string("missing") : "\"" + role + "\"") + ": with the key set the launcher "
                            "refuses " + what + " unless it says " + CatalogueRole(isIndex) + " (sign sets it)");
        }
    }

    const std::wstring m_site;
    const std::string m_key; // non-empty whenever signatures are checked
    const std::string m_root;
    std::set<std::string> m_redirecting; // the catalogue files whose first 10 lines hold a REDIRECT
    SiteReport m_report;
    KeyValueStore m_index;
    KeyValueStore m_repository;
    std::string m_base;
    std::map<std::string, ArchiveContent> m_archives; // by record name, for the archives that passed
};

} // namespace

SiteReport CheckSite(const std::wstring& site, const std::string& key, const std::string& root)
{
    return SiteChecker(site, key, root).Run();
}

std::string KeyArgument(const std::string& argument, std::string* problem, std::string* root)
{
    if (argument.compare(0, 5, "ROOT=") == 0) {
        if (root)
            *root = argument.substr(5);
        return std::string();
    }
    std::string bytes;
    const std::wstring path = WideFromUtf8(argument);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        ReadFileBytes(path, bytes)) {
        // Read as the launcher reads it, so that what it refuses is refused here.
        bool required = false;
        PublicKey key;
        std::string keyText;
        MakerTrust trust;
        ReadMakerKey(ServerFileText(bytes), required, key, &keyText, &trust);
        if (root)
            *root = trust.rootText;
        if (problem && !trust.problem.empty())
            *problem = std::string("server.dat holds ") + (trust.keyLines > 1 ? "two KEY= lines" : "two ROOT= lines") +
                       ": the launcher trusts neither and refuses every catalogue file";
        return keyText;
    }
    return argument;
}
