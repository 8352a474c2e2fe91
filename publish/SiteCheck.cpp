// Reading a site as the launcher would (CheckSite): the index's sections in
// the launcher's order, each record's archive, entries file, thumbnail and
// change log below BASE, and a launcher build's archive against its section.
#include "publish/SiteCheck.h"

#include "format/ArchiveEntries.h"
#include "format/CatalogueFormat.h"
#include "format/LauncherImage.h"
#include "net/Crypto.h"
#include "publish/Site.h"
#include "publish/SiteChecker.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <filesystem>

namespace {

bool FileSize(const std::wstring& path, uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

/// "" for a thumbnail the launcher shows (IsSmallPng), else what is wrong with it.
std::string ThumbnailProblem(const std::string& bytes)
{
    if (IsSmallPng(bytes))
        return std::string();
    static const char signature[] = "\x89PNG\r\n\x1A\n";
    if (bytes.size() < 24 || bytes.compare(0, 8, signature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return "is no PNG";
    auto number = [&bytes](size_t at) {
        unsigned long value = 0;
        for (size_t i = 0; i < 4; ++i)
            value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    const std::string size = std::to_string(number(16)) + " x " + std::to_string(number(20)) + " pixels";
    if (number(16) > kThumbnailSide || number(20) > kThumbnailSide)
        return "is " + size + ", over " + std::to_string(kThumbnailSide) + " x " + std::to_string(kThumbnailSide);
    return "has an IHDR the launcher refuses (" + size + ")";
}

} // namespace

SiteReport CheckSite(const std::wstring& site, const std::string& key, const std::string& root)
{
    return SiteChecker(site, key, root).Run();
}

SiteReport SiteChecker::Run()
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

void SiteChecker::CheckIndex(const std::string& bytes)
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

void SiteChecker::CheckRecord(const SoftwareRecord& record, const std::map<std::string, SoftwareRecord>& records)
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
                    entries.insert(FoldedFileName(SlashedEntryName(entry)));
        }
        for (const std::string& entry : archive->entries)
            entries.insert(FoldedFileName(SlashedEntryName(entry)));
        if (complete && !entries.count(FoldedFileName(SlashedEntryName(record.programToExecute))))
            Problem(kIndexFile, name, "TO_EXECUTE",
                    "\"" + record.programToExecute + "\" is in neither the archive nor its packages' archives");
    }

    CheckSiteFile(name, "THUMB", record.thumbnailAddress, record.thumbnailCheck, true);
    CheckSiteFile(name, "CHANGELOG_FILE", record.changelogAddress, record.changelogCheck, false);
}

/// A launcher section's archive must hold the build it names, of the
/// section's width, with a library of that width.
void SiteChecker::CheckLauncherArchive(const SoftwareRecord& record)
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
const ArchiveContent* SiteChecker::CheckArchive(const SoftwareRecord& record, const std::string& addressKey)
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
void SiteChecker::CheckEntriesFile(const SoftwareRecord& record, const std::string& relative,
                                   const std::wstring& archive)
{
    const std::string& name = record.name;
    const bool hasSha256 = m_index.HasKey(name, "ENTRIES_SHA256");
    const bool hasSize = m_index.HasKey(name, "ENTRIES_SIZE");
    if (!hasSha256 && !hasSize)
        return;
    const std::string entriesRelative = EntriesAddressFor(relative);
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

void SiteChecker::CheckSiteFile(const std::string& name, const char* key, const std::string& address,
                                const FileCheck& check, bool thumbnail)
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
