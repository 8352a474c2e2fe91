#include "publish/Commands.h"

#include "format/ArchiveEntries.h"
#include "format/CatalogueFormat.h"
#include "format/ServerFile.h"
#include "net/Crypto.h"
#include "publish/DataFileLines.h"
#include "publish/Packer.h"
#include "publish/Signing.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "publish/StagedFiles.h"
#include "format/LauncherImage.h"
#include "format/SetupImage.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>

namespace {

const char kUsage[] =
    "usage: morvindex-publish COMMAND ...\n"
    "  init SITE BASE_URL\n"
    "      a new sw_index.dat ([PATHS] BASE=BASE_URL, SERIAL=1) and sw_repo.dat in the folder SITE\n"
    "  add SITE NAME BUILD FOLDER [--package] [--execute FILE] [--deps A,B] [--title TEXT] [--category CAT]\n"
    "      [--expires DAYS]\n"
    "      packs FOLDER as build BUILD of NAME (a package with --package) and updates the index\n"
    "  launcher SITE FOLDER [--setup SERVER_DAT]\n"
    "      packs the launcher build in FOLDER (MorvIndex.exe, trelko_util_r.dll and the five pictures; its\n"
    "      build from MorvIndex.exe's version resource, its width from its header) and offers it to launchers\n"
    "      of that width in sw_index.dat; with --setup also writes MorvIndex-setup.exe, that build carrying\n"
    "      its files and SERVER_DAT (which must hold the maker's key), for a user's first installation\n"
    "  check SITE [--key KEY]\n"
    "      reads the site as the launcher would; KEY is the KEY= text of server.dat, or that file\n"
    "  sign SITE PRIVATE_KEY [--expires DAYS]\n"
    "      raises SERIAL, sets EXPIRES (30 days ahead by default) and writes sw_index.dat.sig and\n"
    "      sw_repo.dat.sig with the key (a PEM file of openssl or keygen)\n"
    "  refresh SITE PRIVATE_KEY [--expires DAYS]\n"
    "      sign again, with a new SERIAL and EXPIRES and nothing else, both files still signed with the key\n"
    "      (for a daily scheduled task)\n"
    "  keygen PRIVATE_KEY [--root]\n"
    "      writes a new P-256 key and prints the KEY= line for server.dat (ROOT= with --root)\n"
    "  keys SITE ROOT_PRIVATE_KEY ONLINE_KEY [ONLINE_KEY ...] [--next-root NEXT_ROOT_PRIVATE_KEY] [--expires DAYS]\n"
    "      writes sw_keys.dat with the online keys (public or private PEM files, or KEY= texts), raises its\n"
    "      SERIAL and signs it with the root (and the next root, which launchers then take as theirs)";

bool IsFolderPath(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFilePath(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/// A value as the reader gives it back: trailing blanks go with the line's.
bool CleanValue(const std::string& key, std::string& value, Reporter& reporter)
{
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        reporter.Error(key + ": a value cannot hold a line break");
        return false;
    }
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    if (key.size() + 1 + value.size() > 1023) {
        reporter.Error(key + ": the line would be over 1023 bytes, where the launcher stops reading");
        return false;
    }
    return true;
}

/// Days a signed catalogue file stays current when no --expires is given.
constexpr int kDefaultExpiryDays = 30;

/// The EXPIRES text days ahead of now.
std::string ExpiryAhead(int days) { return UtcTextAhead(days); }

/// --expires DAYS: 1 to 3650 days.
bool ParseExpiryDays(const std::string& text, int& days, Reporter& reporter)
{
    if (!IsDecimal(text) || text.size() > 4 || ParseNumber(text) < 1 || ParseNumber(text) > 3650) {
        reporter.Error("--expires: \"" + text + "\" is no number of days from 1 to 3650");
        return false;
    }
    days = ParseNumber(text);
    return true;
}

/// What keeps the launcher from reading a catalogue file's text as the maker
/// sees it: a byte-order mark or UTF-16 (the first line would be lost). "" when none.
std::string TextFormProblem(const std::string& file, const std::string& bytes)
{
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return file + " begins with a byte-order mark: the launcher would not read its first line; save it "
                      "without one (\"UTF-8\", not \"UTF-8 with BOM\")";
    if (bytes.find('\0') != std::string::npos)
        return file + " holds NUL bytes (saved as UTF-16?): the launcher reads plain 8-bit text; save it as UTF-8";
    return "";
}

/// Sets a catalogue file's [PATHS] for signing: ROLE names the file, SERIAL
/// goes one up, EXPIRES days ahead. An index must hold a decimal SERIAL
/// already; a repository without one starts at 1. False (error says why) for
/// a file that names another role or whose SERIAL cannot go up.
bool StampCatalogueFile(DataFileLines& lines, const KeyValueStore& store, bool isIndex, bool redirect,
                        const std::string& expires, std::string& serial, std::string& error)
{
    const char* file = isIndex ? kIndexFile : kRepositoryFile;
    const std::string expected = redirect ? kRedirectRole : CatalogueRole(isIndex);
    const std::string role = store.GetValue("PATHS", "ROLE");
    if (!role.empty() && role != expected) {
        error = std::string(file) + ": [PATHS] ROLE=" + role + ", where the launcher expects " + expected;
        return false;
    }
    const std::string serialText = store.GetValue("PATHS", "SERIAL");
    const bool present = store.HasKey("PATHS", "SERIAL");
    // A REDIRECT file and the repository may start their SERIAL here; the
    // index's must go on from the one published.
    const long long previous = present ? ParseIndexSerial(serialText) : (isIndex && !redirect ? -1 : 0);
    if (previous < 0) {
        error = std::string(file) + ": [PATHS] SERIAL is " + (present ? "no decimal number (\"" + serialText + "\")"
                                                                       : std::string("missing")) +
                ": set it to the last SERIAL published, so that launchers take the next one";
        return false;
    }
    if (previous >= kMaxSerial) {
        error = std::string(file) + ": [PATHS] SERIAL is at " + std::to_string(kMaxSerial) +
                ", the highest a launcher accepts: sign with a new key, whose SERIAL starts afresh";
        return false;
    }
    serial = std::to_string(previous + 1);
    if (role.empty())
        lines.Set("PATHS", "ROLE", expected);
    lines.Set("PATHS", "SERIAL", serial);
    lines.Set("PATHS", "EXPIRES", expires);
    return true;
}

// ---- init ----

/// A command that ended half-way through putting its files in place (killed,
/// the power cut) is undone before another touches the site.
bool RecoverSite(const std::wstring& site, Reporter& reporter)
{
    if (StagedFiles::Recover(site)) {
        for (const std::string& leftover : StagedFiles::RemoveLeftovers(site))
            reporter.Line("note: removed " + leftover + ", left by a command that was ended before it finished");
        return true;
    }
    reporter.Error("an earlier command ended while writing " + Utf8FromWide(site) +
                   ", and its files cannot all be put back (publishing.journal there says which): close what holds "
                   "them and run the command again");
    return false;
}

int Init(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.size() != 2) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = arguments[0];
    const std::string base = Utf8FromWide(arguments[1]);
    const bool control = std::any_of(base.begin(), base.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if ((base.compare(0, 7, "http://") != 0 && base.compare(0, 8, "https://") != 0) || base.back() != '/' || control) {
        reporter.Error("BASE_URL must be an http:// or https:// address ending with \"/\", without line breaks: the "
                       "launcher puts it in front of every name of the index as it is");
        return kPublishUsage;
    }
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    for (const char* file : {kIndexFile, kRepositoryFile}) {
        if (IsFilePath(SitePath(site, file))) {
            reporter.Error(Utf8FromWide(SitePath(site, file)) + " exists already: init starts a new site");
            return kPublishFailed;
        }
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(site), error);
    KeyValueStore index;
    index.SetValue("BASE", base, "PATHS");
    index.SetValue("ROLE", CatalogueRole(true), "PATHS");
    index.SetValue("SERIAL", "1", "PATHS");
    index.SetValue("EXPIRES", ExpiryAhead(kDefaultExpiryDays), "PATHS");
    KeyValueStore repository;
    const std::string indexAddress = base + kIndexFile;
    repository.SetValue("ROLE", CatalogueRole(false), "PATHS");
    repository.SetValue("SERIAL", "1", "PATHS");
    repository.SetValue("EXPIRES", ExpiryAhead(kDefaultExpiryDays), "PATHS");
    repository.SetValue("URL", indexAddress, "PRINCIPALE");
    StagedFiles staged(site);
    std::string problem;
    if (!staged.Stage(SitePath(site, kIndexFile), index.ToText(), problem) ||
        !staged.Stage(SitePath(site, kRepositoryFile), repository.ToText(), problem) || !staged.Commit(problem)) {
        reporter.Error(problem + "; nothing written");
        return kPublishFailed;
    }
    reporter.Line("sw_index.dat: [PATHS] BASE=" + base + ", SERIAL=1");
    reporter.Line("sw_repo.dat: [PRINCIPALE] URL=" + indexAddress);
    return kPublishDone;
}

// ---- add ----

struct AddRequest {
    std::wstring site;
    std::string name;
    std::string build;
    std::wstring folder;
    bool package = false;
    bool hasExecute = false, hasDeps = false, hasTitle = false, hasCategory = false, hasExpires = false;
    std::string execute, deps, title, category, expires;
};

bool ParseAdd(const std::vector<std::wstring>& arguments, AddRequest& request, Reporter& reporter)
{
    std::vector<std::wstring> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument == L"--package") {
            request.package = true;
            continue;
        }
        const std::pair<const wchar_t*, std::pair<bool*, std::string*>> options[] = {
            {L"--execute", {&request.hasExecute, &request.execute}},
            {L"--deps", {&request.hasDeps, &request.deps}},
            {L"--title", {&request.hasTitle, &request.title}},
            {L"--category", {&request.hasCategory, &request.category}},
            {L"--expires", {&request.hasExpires, &request.expires}}};
        bool matched = false;
        for (const auto& option : options) {
            if (argument != option.first)
                continue;
            if (i + 1 >= arguments.size()) {
                reporter.Error(Utf8FromWide(argument) + " needs a value");
                return false;
            }
            *option.second.first = true;
            *option.second.second = Utf8FromWide(arguments[++i]);
            matched = true;
        }
        if (matched)
            continue;
        if (argument.compare(0, 2, L"--") == 0) {
            reporter.Error("unknown option " + Utf8FromWide(argument));
            return false;
        }
        positional.push_back(argument);
    }
    if (positional.size() != 4) {
        reporter.Error(kUsage);
        return false;
    }
    request.site = positional[0];
    request.name = UpperAscii(Utf8FromWide(positional[1]));
    request.build = Utf8FromWide(positional[2]);
    request.folder = positional[3];
    return true;
}

class Add {
public:
    Add(const AddRequest& request, Reporter& reporter) : m_request(request), m_reporter(reporter) {}

    int Run()
    {
        const AddRequest& request = m_request;
        const std::string& name = request.name;
        if (!RecoverSite(request.site, m_reporter))
            return kPublishFailed;
        const std::wstring indexPath = SitePath(request.site, kIndexFile);
        std::string indexBytes;
        if (!ReadFileBytes(indexPath, indexBytes))
            return Refuse("no sw_index.dat in " + Utf8FromWide(request.site) + ": start the site with init");
        const std::string form = TextFormProblem(kIndexFile, indexBytes);
        if (!form.empty())
            return Refuse(form);
        int expiryDays = kDefaultExpiryDays;
        if (request.hasExpires && !ParseExpiryDays(request.expires, expiryDays, m_reporter))
            return kPublishFailed;
        DataFileLines lines(indexBytes);
        DataFileLines::Origin overlong;
        if (lines.FirstOverlongLine(overlong))
            return Refuse("sw_index.dat line " + std::to_string(overlong.number) +
                          " is over 1023 bytes: the launcher stops reading there; shorten it first");
        KeyValueStore index;
        index.LoadText(indexBytes);

        if (!IsSafeFileName(name) || name == KeyValueStore::kGlobal || name == "PATHS" || name == "REDIRECT")
            return Refuse("\"" + name +
                          "\" cannot name a program: it must be a plain file name of at most 64 bytes (no \\ / : * "
                          "? \" < > |, no device name such as AUX, no trailing dot or space)");
        if (!IsPlainProgramName(name))
            return Refuse("\"" + name + "\" cannot name a program: only ASCII letters, digits, \"_\" and \"-\" go into "
                          "its web addresses as they are");
        if (!IsDecimal(request.build) || request.build.size() > 9)
            return Refuse("BUILD must be a decimal number, not \"" + request.build + "\"");
        const int build = ParseNumber(request.build);
        if (build == 0)
            return Refuse("BUILD 0 is what the launcher records for \"not installed\": start at 1");
        if (!IsFolderPath(request.folder))
            return Refuse(Utf8FromWide(request.folder) + " is not a folder");
        // SERIAL, ROLE and EXPIRES are the only lines outside the section that change.
        std::string serial, error;
        const std::string expires = ExpiryAhead(expiryDays);
        if (!StampCatalogueFile(lines, index, true, false, expires, serial, error))
            return Refuse(error);
        if (!index.FindSection(name) && index.AllSections().size() - index.AllSections().count(KeyValueStore::kGlobal) >=
                                             kMaxIndexSections)
            return Refuse("sw_index.dat holds " + std::to_string(kMaxIndexSections) +
                          " sections already: a launcher refuses an index with more");
        if (!CollectKeys(index))
            return kPublishFailed;

        // What the build folder holds, by the library's rules.
        FolderContent content = ListBuildFolder(request.folder);
        for (const std::string& skipped : content.skipped)
            m_reporter.Line("skipped " + skipped + ": names beginning with \".\" are never installed");
        for (const std::string& refused : content.refused)
            m_reporter.Error(refused);
        if (!content.refused.empty())
            return Refuse("the launcher's library would refuse the whole archive for the names above");
        if (content.files.empty())
            return Refuse(Utf8FromWide(request.folder) + " holds no file");
        std::vector<std::string> entryNames;
        for (const PackedFile& file : content.files) {
            entryNames.push_back(file.name);
            if (InTheFuture(file.lastWrite))
                m_reporter.Line("note: " + file.name +
                                " is dated in the future: later builds with an older date never replace it");
        }
        const std::string clash = CaseClash(entryNames);
        if (!clash.empty())
            return Refuse(clash + " are one path on Windows: every installation would fail");
        if (!m_package && !CheckExecute(index, content))
            return kPublishFailed;

        // The archive goes where the launcher will look for it.
        const std::string base = index.GetValue("PATHS", "BASE");
        if (base.empty() || base.back() != '/')
            return Refuse("[PATHS] BASE=\"" + base + "\" does not end with \"/\": the launcher joins every name to it "
                          "as it is, so every download would fail");
        const std::string relative = DerivedArchivePath(name, build, m_package);
        KeyValueStore expected = index;
        for (const auto& key : m_pending)
            SetKey(expected, key.first, key.second);
        SetKey(expected, "BUILD_DISP", std::to_string(build));
        KeyValueSection section = *expected.FindSection(name);
        if (BuildRecord(section, base).downloadAddress != base + relative)
            return Refuse("[" + name + "] DOWNLOAD_FILE names another archive (" +
                          index.GetValue(name, "DOWNLOAD_FILE") + "): remove the key to publish with add");

        const std::wstring archive = SitePath(request.site, relative);
        const std::wstring archiveFolder = archive.substr(0, archive.find_last_of(L'\\'));
        const bool madeFolder = !IsFolderPath(archiveFolder) && CreateDirectoryW(archiveFolder.c_str(), nullptr);
        const std::wstring temporary = StagedFiles::StagingPath(archive);
        auto discard = [&] {
            DeleteFileW(temporary.c_str());
            if (madeFolder)
                RemoveDirectoryW(archiveFolder.c_str());
        };
        if (!WriteArchive(temporary, content.files, error)) {
            discard();
            return Refuse(error);
        }
        std::string digest;
        uint64_t size = 0;
        for (const PackedFile& file : content.files)
            size += file.size;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!IsAcceptableArchive(temporary) || !Sha256OfFile(temporary, digest) ||
            !GetFileAttributesExW(temporary.c_str(), GetFileExInfoStandard, &data)) {
            discard();
            return Refuse("the archive written for " + relative + " does not read back as the launcher reads it");
        }
        const uint64_t archiveSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        SetKey(expected, "SHA256", HexOf(digest));
        SetKey(expected, "SIZE", std::to_string(archiveSize));
        // A program's update may fetch only the entries it copies, through
        // the map of the archive written beside it. Packages stay whole.
        std::string entriesText;
        if (!m_package) {
            ArchiveEntries entries;
            if (!DescribeArchive(temporary, entries)) {
                discard();
                return Refuse("the archive written for " + relative + " cannot be mapped entry by entry");
            }
            entriesText = FormatEntriesFile(entries);
            SetKey(expected, "ENTRIES_SHA256", HexOf(Sha256Of(entriesText)));
            SetKey(expected, "ENTRIES_SIZE", std::to_string(entriesText.size()));
        }

        // The thumbnail and change log the section names, where they lie in the site.
        for (const auto& side : {std::make_pair("THUMB", "THUMB"), std::make_pair("CHANGELOG_FILE", "CHANGELOG")}) {
            const std::string file = index.GetValue(name, side.first);
            std::string sideRelative, sideDigest;
            uint64_t sideSize = 0;
            if (file.empty())
                continue;
            const std::wstring sidePath =
                AddressBelowBase(base + file, base, sideRelative) ? SitePath(request.site, sideRelative) : L"";
            WIN32_FILE_ATTRIBUTE_DATA sideData;
            if (sidePath.empty() || !Sha256OfFile(sidePath, sideDigest) ||
                !GetFileAttributesExW(sidePath.c_str(), GetFileExInfoStandard, &sideData)) {
                m_reporter.Line(std::string("note: ") + side.first + " " + file +
                                " is not a file of the site: no hash written, and launchers with the key do not use it");
                continue;
            }
            sideSize = (static_cast<uint64_t>(sideData.nFileSizeHigh) << 32) | sideData.nFileSizeLow;
            SetKey(expected, std::string(side.second) + "_SHA256", HexOf(sideDigest));
            SetKey(expected, std::string(side.second) + "_SIZE", std::to_string(sideSize));
        }

        // Only the section's lines and [PATHS] SERIAL, ROLE and EXPIRES change.
        expected.SetValue("SERIAL", serial, "PATHS");
        expected.SetValue("ROLE", CatalogueRole(true), "PATHS");
        expected.SetValue("EXPIRES", expires, "PATHS");
        for (const auto& key : m_keys)
            lines.Set(name, key.first, key.second);
        const std::string text = lines.Text();
        KeyValueStore written;
        written.LoadText(text);
        if (written != expected) {
            discard();
            return Refuse("the edited sw_index.dat does not read back as intended; nothing written");
        }

        // The archive, its entries file and the index go in place together, or none does.
        const bool replacing = IsFilePath(archive);
        StagedFiles staged(request.site);
        staged.Adopt(archive);
        if ((!m_package && !staged.Stage(EntriesFilePath(archive), entriesText, error)) ||
            !staged.Stage(indexPath, text, error) || !staged.Commit(error)) {
            discard();
            return Refuse(error + "; nothing written");
        }

        m_expires = expires;
        Report(index, relative, content.files.size(), size, archiveSize, HexOf(digest), serial, replacing, build);
        return kPublishDone;
    }

private:
    int Refuse(const std::string& text)
    {
        m_reporter.Error(text);
        return kPublishFailed;
    }

    /// The entries file goes beside its archive, under the archive's name plus ".entries".
    static std::wstring EntriesFilePath(const std::wstring& archive) { return archive + L".entries"; }

    void SetKey(KeyValueStore& store, const std::string& key, const std::string& value)
    {
        m_keys.emplace_back(key, value);
        store.SetValue(key, value, m_request.name);
    }

    /// The keys the options give, after checking them against the index.
    bool CollectKeys(const KeyValueStore& index)
    {
        const AddRequest& request = m_request;
        const std::string& name = request.name;
        m_package = request.package;
        if (index.HasKey(name, "SW_TYPE")) {
            const int type = ParseNumber(index.GetValue(name, "SW_TYPE"));
            if (request.package && type != 100) {
                Refuse("[" + name + "] is a program (SW_TYPE=" + index.GetValue(name, "SW_TYPE") +
                       "), not a package");
                return false;
            }
            if (!request.package && type == 100) {
                Refuse("[" + name + "] is a package (SW_TYPE=100): add it with --package");
                return false;
            }
        } else {
            m_pending.emplace_back("SW_TYPE", m_package ? "100" : "1");
        }
        if (m_package && (request.hasExecute || request.hasDeps)) {
            Refuse("--execute and --deps belong to programs; a package is unpacked into each program that needs it");
            return false;
        }
        std::string title = request.title, category = request.category, execute = request.execute;
        if ((request.hasTitle && !CleanValue("TITOLO", title, m_reporter)) ||
            (request.hasCategory && !CleanValue("CAT", category, m_reporter)) ||
            (request.hasExecute && !CleanValue("TO_EXECUTE", execute, m_reporter)))
            return false;
        if (request.hasTitle)
            m_pending.emplace_back("TITOLO", title);
        if (request.hasCategory)
            m_pending.emplace_back("CAT", category);
        if (request.hasExecute) {
            if (execute.empty() || execute.size() > 260 || !IsSafeEntryName(execute)) {
                Refuse("--execute: \"" + execute + "\" is no plain relative file name inside the folder");
                return false;
            }
            m_pending.emplace_back("TO_EXECUTE", execute);
        }
        if (request.hasDeps) {
            std::string deps;
            size_t start = 0;
            for (;;) {
                size_t comma = request.deps.find(',', start);
                std::string dependency = request.deps.substr(start, comma - start);
                while (!dependency.empty() && dependency.front() == ' ')
                    dependency.erase(0, 1);
                while (!dependency.empty() && dependency.back() == ' ')
                    dependency.pop_back();
                dependency = UpperAscii(dependency);
                if (!dependency.empty() || comma != std::string::npos || start != 0) {
                    if (!index.HasKey(dependency, "SW_TYPE") ||
                        ParseNumber(index.GetValue(dependency, "SW_TYPE")) != 100) {
                        Refuse("--deps: \"" + dependency +
                               "\" names no package section of sw_index.dat: add the package first (add SITE " +
                               dependency + " BUILD FOLDER --package)");
                        return false;
                    }
                    deps += (deps.empty() ? "" : ",") + dependency;
                }
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            m_pending.emplace_back("DEPS", deps);
        }
        return true;
    }

    /// The program's TO_EXECUTE, given or kept from the index, must be one of the files packed.
    bool CheckExecute(const KeyValueStore& index, const FolderContent& content)
    {
        std::string execute;
        for (const auto& key : m_pending)
            if (key.first == "TO_EXECUTE")
                execute = key.second;
        const bool kept = !m_request.hasExecute;
        if (kept)
            execute = index.GetValue(m_request.name, "TO_EXECUTE");
        if (!execute.empty()) {
            bool found = false;
            for (const PackedFile& file : content.files)
                found = found || FoldedEntryName(file.name) == FoldedEntryName(execute);
            if (!found) {
                Refuse(std::string(kept ? "TO_EXECUTE of the index" : "--execute") + ": \"" + execute +
                       "\" is not in " + Utf8FromWide(m_request.folder));
                return false;
            }
        }
        return true;
    }

    void Report(const KeyValueStore& index, const std::string& relative, size_t files, uint64_t bytes,
                uint64_t archiveSize, const std::string& hex, const std::string& serial, bool replacing, int build)
    {
        const std::string& name = m_request.name;
        m_reporter.Line(relative + ": " + std::to_string(files) + " files of " + std::to_string(bytes) +
                        " bytes, archive of " + std::to_string(archiveSize) + " bytes, SHA-256 " + hex);
        std::string keys;
        for (const auto& key : m_keys)
            keys += (keys.empty() ? "" : ", ") + key.first + "=" + key.second;
        m_reporter.Line("sw_index.dat: [" + name + "] " + keys + "; [PATHS] SERIAL=" + serial + ", EXPIRES=" +
                        m_expires);
        const int previous = ParseNumber(index.GetValue(name, "BUILD_DISP"));
        if (replacing && !m_package)
            m_reporter.Line("note: " + relative + " replaced: users who installed build " + std::to_string(build) +
                            " keep their files; a new build number reaches them");
        if (index.HasKey(name, "BUILD_DISP") && previous > build)
            m_reporter.Line("note: the build offered goes down from " + std::to_string(previous) + " to " +
                            std::to_string(build));
        if (IsFilePath(SitePath(m_request.site, std::string(kIndexFile) + kSignatureSuffix)))
            m_reporter.Line("sw_index.dat.sig no longer matches: sign the site again before uploading");
    }

    const AddRequest& m_request;
    Reporter& m_reporter;
    std::string m_expires;
    bool m_package = false;
    std::vector<std::pair<std::string, std::string>> m_pending; // from the options
    std::vector<std::pair<std::string, std::string>> m_keys;    // every key written, in order
};

// ---- launcher ----

int PublishLauncher(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.size() != 2 && (arguments.size() != 4 || arguments[2] != L"--setup")) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = arguments[0];
    std::wstring folder = arguments[1];
    auto refuse = [&reporter](const std::string& text) {
        reporter.Error(text);
        return kPublishFailed;
    };
    // The setup's server.dat is the only one a new user starts with: without
    // the maker's key that launcher would take any catalogue, and any launcher.
    std::string serverDat;
    if (arguments.size() == 4) {
        const std::string name = Utf8FromWide(arguments[3]);
        if (!IsFilePath(arguments[3]) || !ReadFileBytes(arguments[3], serverDat))
            return refuse("--setup " + name + ": no such file");
        bool required = false;
        PublicKey key;
        MakerTrust trust;
        ReadMakerKey(ServerFileText(serverDat), required, key, nullptr, &trust);
        if (!UsableMakerKey(required, key, trust))
            return refuse("--setup " + name + ": no usable key (one [SIGNATURE] KEY= or ROOT= with the public key keygen "
                          "printed); "
                          "a setup without it would let any catalogue replace the launcher");
    }
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    if (!IsFolderPath(folder))
        return refuse(Utf8FromWide(folder) + " is not a folder");
    if (folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';

    // The build and width come from the files themselves, never from a flag.
    const LauncherBuild build = InspectLauncherFolder(folder);
    if (!build.problem.empty())
        return refuse(Utf8FromWide(folder) + ": " + build.problem);
    std::vector<PackedFile> files;
    std::vector<std::wstring> names = {kLauncherProgramFile, kLauncherLibraryFile};
    names.insert(names.end(), std::begin(kLauncherPictures), std::end(kLauncherPictures));
    for (const std::wstring& name : names) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW((folder + name).c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return refuse(Utf8FromWide(folder) + ": no " + Utf8FromWide(name) + " (a launcher build ships it)");
        PackedFile file;
        file.name = Utf8FromWide(name);
        file.path = folder + name;
        file.lastWrite = data.ftLastWriteTime;
        file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        files.push_back(file);
    }
    if (IsFilePath(folder + L"server.dat"))
        reporter.Line("note: server.dat is not packed: it holds each user's server and key");

    const std::wstring indexPath = SitePath(site, kIndexFile);
    std::string indexBytes, error, serial;
    if (!ReadFileBytes(indexPath, indexBytes))
        return refuse("no sw_index.dat in " + Utf8FromWide(site) + ": start the site with init");
    const std::string form = TextFormProblem(kIndexFile, indexBytes);
    if (!form.empty())
        return refuse(form);
    DataFileLines lines(indexBytes);
    KeyValueStore index;
    index.LoadText(indexBytes);
    const std::string section = LauncherSection(build.width);
    const int published = ParseNumber(index.GetValue(section, "BUILD_DISP", "0"));
    if (build.build <= published)
        return refuse("MorvIndex.exe is build " + std::to_string(build.build) + ", but [" + section +
                      "] offers build " + std::to_string(published) + " already: launchers only ever take a "
                      "higher build (make it with cmake -DMORVINDEX_BUILD=" + std::to_string(published + 1) + ")");
    const std::string base = index.GetValue("PATHS", "BASE");
    if (base.empty() || base.back() != '/')
        return refuse("[PATHS] BASE=\"" + base + "\" does not end with \"/\"");
    const std::string expires = ExpiryAhead(kDefaultExpiryDays);
    if (!StampCatalogueFile(lines, index, true, false, expires, serial, error))
        return refuse(error);

    const std::string relative = LauncherArchivePath(build.width, build.build);
    const std::wstring archive = SitePath(site, relative);
    const std::wstring launcherFolder = SitePath(site, "launcher");
    const std::wstring widthFolder = archive.substr(0, archive.find_last_of(L'\\'));
    CreateDirectoryW(launcherFolder.c_str(), nullptr);
    CreateDirectoryW(widthFolder.c_str(), nullptr);
    const std::wstring temporary = StagedFiles::StagingPath(archive);
    if (!WriteArchive(temporary, files, error) || !IsAcceptableArchive(temporary)) {
        DeleteFileW(temporary.c_str());
        return refuse(error.empty() ? "the archive written for " + relative + " does not read back" : error);
    }
    std::string digest;
    WIN32_FILE_ATTRIBUTE_DATA written;
    if (!Sha256OfFile(temporary, digest) || !GetFileAttributesExW(temporary.c_str(), GetFileExInfoStandard, &written)) {
        DeleteFileW(temporary.c_str());
        return refuse("the archive written for " + relative + " cannot be read back");
    }
    const uint64_t size = (static_cast<uint64_t>(written.nFileSizeHigh) << 32) | written.nFileSizeLow;
    const std::pair<const char*, std::string> keys[] = {
        {"SW_TYPE", std::to_string(kLauncherSectionType)},
        {"BUILD_DISP", std::to_string(build.build)},
        {"DOWNLOAD_FILE", relative},
        {"SHA256", HexOf(digest)},
        {"SIZE", std::to_string(size)}};
    for (const auto& key : keys)
        lines.Set(section, key.first, key.second);
    StagedFiles staged(site);
    staged.Adopt(archive);
    const std::wstring setup = SitePath(site, Utf8FromWide(kSetupProgramFile));
    if (!serverDat.empty()) {
        std::string image;
        std::vector<SetupFile> carried;
        for (const std::wstring& name : SetupFileNames()) {
            SetupFile file{name, std::string()};
            if (name == L"server.dat")
                file.bytes = serverDat;
            else if (!ReadFileBytes(folder + name, file.bytes))
                return refuse("cannot read " + Utf8FromWide(folder + name));
            carried.push_back(std::move(file));
        }
        if (!ReadFileBytes(folder + kLauncherProgramFile, image))
            return refuse("cannot read " + Utf8FromWide(folder + kLauncherProgramFile));
        if (!staged.Stage(setup, AppendSetupFiles(image, carried), error)) {
            DeleteFileW(temporary.c_str());
            return refuse(error + "; nothing written");
        }
    }
    if (!staged.Stage(indexPath, lines.Text(), error) || !staged.Commit(error)) {
        DeleteFileW(temporary.c_str());
        return refuse(error + "; nothing written");
    }
    reporter.Line(relative + ": MorvIndex build " + std::to_string(build.build) + " for " + WidthName(build.width) +
                  ", archive of " + std::to_string(size) + " bytes, SHA-256 " + HexOf(digest));
    reporter.Line("sw_index.dat: [" + section + "] BUILD_DISP=" + std::to_string(build.build) + "; [PATHS] SERIAL=" +
                  serial + ", EXPIRES=" + expires);
    if (!serverDat.empty())
        reporter.Line(Utf8FromWide(kSetupProgramFile) + ": MorvIndex build " + std::to_string(build.build) + " for " +
                      WidthName(build.width) + " with its files and " + Utf8FromWide(arguments[3]) +
                      ", for a user's first installation");
    if (IsFilePath(SitePath(site, std::string(kIndexFile) + kSignatureSuffix)))
        reporter.Line("sw_index.dat.sig no longer matches: sign the site again before uploading");
    return kPublishDone;
}

// ---- check ----

int Check(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    std::wstring site;
    std::string key;
    std::string keyProblem, root;
    bool haveKey = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--key" && i + 1 < arguments.size()) {
            key = KeyArgument(Utf8FromWide(arguments[++i]), &keyProblem, &root);
            haveKey = true;
        } else if (site.empty() && arguments[i].compare(0, 2, L"--") != 0) {
            site = arguments[i];
        } else {
            reporter.Error(kUsage);
            return kPublishUsage;
        }
    }
    if (site.empty()) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    if (!keyProblem.empty()) {
        reporter.Error("--key: " + keyProblem);
        return kPublishFailed;
    }
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    if (haveKey && key.empty() && root.empty()) {
        reporter.Error("--key: no key (a server.dat file holds it as [SIGNATURE] KEY= within its first 10 lines)");
        return kPublishFailed;
    }
    SiteReport report = CheckSite(site, key, root);
    for (const std::string& note : report.notes)
        reporter.Line("note: " + note);
    for (const std::string& problem : report.problems)
        reporter.Line(problem);
    return report.problems.empty() ? kPublishDone : kPublishFailed;
}

// ---- sign and keygen ----

/// sign, or with refresh the daily re-signing: only files still signed with
/// this very key get a new SERIAL and EXPIRES, so a scheduled task never
/// publishes a hand edit nobody signed.
int Sign(const std::vector<std::wstring>& arguments, Reporter& reporter, bool refresh = false)
{
    std::vector<std::wstring> positional;
    int expiryDays = kDefaultExpiryDays;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--expires" && i + 1 < arguments.size()) {
            if (!ParseExpiryDays(Utf8FromWide(arguments[++i]), expiryDays, reporter))
                return kPublishUsage;
        } else {
            positional.push_back(arguments[i]);
        }
    }
    if (positional.size() != 2) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = positional[0];
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    std::string pem, error;
    SigningKey key;
    if (!ReadFileBytes(positional[1], pem)) {
        reporter.Error("cannot read the key " + Utf8FromWide(positional[1]));
        return kPublishFailed;
    }
    if (!ParsePrivateKeyPem(pem, key, error)) {
        reporter.Error(Utf8FromWide(positional[1]) + ": " + error);
        return kPublishFailed;
    }
    SecureZeroMemory(&pem[0], pem.size());
    // A signed index vouches for its entries files: one that maps another
    // archive would send every launcher to the wrong parts of it.
    const SiteReport report = CheckSite(site);
    if (!report.misleadingEntries.empty()) {
        for (const std::string& problem : report.misleadingEntries)
            reporter.Error(problem);
        reporter.Error("not signed: run add again for each program named above");
        return kPublishFailed;
    }
    const std::string publicKey = PublicKeyText(key);
    const std::string expires = ExpiryAhead(expiryDays);
    PublicKey verifier;
    // Both files and both signatures are written beside their places first:
    // a refusal or a failed write leaves every one as it was.
    StagedFiles staged(site);
    const char* files[2] = {kIndexFile, kRepositoryFile};
    std::string stamps[2];
    for (int i = 0; i < 2; ++i) {
        const bool isIndex = i == 0;
        std::string bytes;
        if (!ReadFileBytes(SitePath(site, files[i]), bytes)) {
            reporter.Error(std::string("no ") + files[i] + " in " + Utf8FromWide(site));
            return kPublishFailed;
        }
        const std::string form = TextFormProblem(files[i], bytes);
        if (!form.empty()) {
            reporter.Error(form);
            return kPublishFailed;
        }
        DataFileLines lines(bytes);
        DataFileLines::Origin overlong;
        if (lines.FirstOverlongLine(overlong)) {
            reporter.Error(std::string(files[i]) + " line " + std::to_string(overlong.number) +
                           " is over 1023 bytes: the launcher stops reading there; shorten it first");
            return kPublishFailed;
        }
        if (refresh) {
            std::string signature;
            if (!ReadFileBytes(SitePath(site, files[i]) + WideFromUtf8(kSignatureSuffix), signature) ||
                !ParsePublicKey(publicKey, verifier) || !VerifySignature(verifier, bytes, signature)) {
                reporter.Error(std::string(files[i]) + " is not signed with this key as it is (changed since, or "
                               "signed with another): check it and sign it with sign; refresh signs nothing new");
                return kPublishFailed;
            }
        }
        // A REDIRECT the launcher follows (within the first 10 lines) sends it
        // elsewhere: it names its own role, SERIAL and EXPIRES.
        KeyValueStore head, whole;
        head.LoadText(bytes, 10);
        whole.LoadText(bytes);
        const bool redirect = !head.GetValue("REDIRECT", "URL").empty();
        if (!redirect && isIndex && !IndexSectionsWithinLimit(whole)) {
            reporter.Error("sw_index.dat holds more than " + std::to_string(kMaxIndexSections) +
                           " sections: a launcher refuses it");
            return kPublishFailed;
        }
        std::string serial;
        if (!StampCatalogueFile(lines, whole, isIndex, redirect, expires, serial, error)) {
            reporter.Error(error + ": a launcher with the key would refuse it");
            return kPublishFailed;
        }
        bytes = lines.Text();
        stamps[i] = std::string(files[i]) + ": [PATHS] SERIAL=" + serial + ", EXPIRES=" + expires;
        const std::string signature = SignData(key, bytes);
        // The signature is checked the way the launcher will check it.
        if (signature.empty() || !ParsePublicKey(publicKey, verifier) || !VerifySignature(verifier, bytes, signature)) {
            reporter.Error(std::string("the platform could not sign ") + files[i]);
            return kPublishFailed;
        }
        const std::wstring path = SitePath(site, files[i]);
        if (!staged.Stage(path, bytes, error) || !staged.Stage(path + WideFromUtf8(kSignatureSuffix), signature, error)) {
            reporter.Error(error + "; nothing written");
            return kPublishFailed;
        }
    }
    if (!staged.Commit(error)) {
        reporter.Error(error + "; nothing written");
        return kPublishFailed;
    }
    for (int i = 0; i < 2; ++i) {
        if (!stamps[i].empty())
            reporter.Line(stamps[i]);
        reporter.Line(std::string(files[i]) + kSignatureSuffix + " written");
    }
    reporter.Line("KEY=" + publicKey);
    return kPublishDone;
}

int Keygen(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    std::vector<std::wstring> positional;
    bool root = false;
    for (const std::wstring& argument : arguments) {
        if (argument == L"--root")
            root = true;
        else
            positional.push_back(argument);
    }
    if (positional.size() != 1) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& path = positional[0];
    SigningKey key;
    std::string pem;
    if (!GenerateKey(key) || (pem = PrivateKeyPem(key)).empty()) {
        reporter.Error("the platform could not make a key");
        return kPublishFailed;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        reporter.Error("cannot create " + Utf8FromWide(path) +
                       (code == ERROR_FILE_EXISTS ? std::string(": it exists already") : ": " + Win32ErrorText(code)));
        return kPublishFailed;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, pem.data(), static_cast<DWORD>(pem.size()), &written, nullptr) &&
                    written == pem.size() && FlushFileBuffers(file);
    CloseHandle(file);
    SecureZeroMemory(&pem[0], pem.size());
    if (!ok) {
        DeleteFileW(path.c_str());
        reporter.Error("cannot write " + Utf8FromWide(path));
        return kPublishFailed;
    }
    if (root) {
        reporter.Line("ROOT=" + PublicKeyText(key));
        reporter.Line("put this line in the [SIGNATURE] section of server.dat; keep " + Utf8FromWide(path) +
                      " offline: it signs only sw_keys.dat (the keys command)");
        return kPublishDone;
    }
    reporter.Line("KEY=" + PublicKeyText(key));
    reporter.Line("put this line in the [SIGNATURE] section of server.dat; keep " + Utf8FromWide(path) +
                  " off the web server");
    return kPublishDone;
}

// ---- keys ----

/// Days a keys file stays current when no --expires is given: the root that
/// signs it is kept offline, so it is renewed seldom.
constexpr int kDefaultKeysExpiryDays = 365;

/// A private key PEM file, read with its error named.
bool ReadSigningKey(const std::wstring& path, SigningKey& key, Reporter& reporter)
{
    std::string pem, error;
    if (!ReadFileBytes(path, pem)) {
        reporter.Error("cannot read the key " + Utf8FromWide(path));
        return false;
    }
    const bool ok = ParsePrivateKeyPem(pem, key, error);
    SecureZeroMemory(&pem[0], pem.size());
    if (!ok)
        reporter.Error(Utf8FromWide(path) + ": " + error);
    return ok;
}

/// An online key as the maker names it: a public key PEM file ("-----BEGIN
/// PUBLIC KEY-----", what openssl ec -pubout writes), a private key PEM
/// file (its public half), or the KEY= text itself.
bool OnlineKeyText(const std::wstring& argument, std::string& text, Reporter& reporter)
{
    std::string bytes, error;
    const std::wstring path = argument;
    if (IsFilePath(path) && ReadFileBytes(path, bytes)) {
        SigningKey key;
        if (PublicKeyFromPem(bytes, text))
            return true;
        if (ParsePrivateKeyPem(bytes, key, error)) {
            SecureZeroMemory(&bytes[0], bytes.size());
            text = PublicKeyText(key);
            return !text.empty();
        }
        reporter.Error(Utf8FromWide(path) + ": no public or private P-256 key in it");
        return false;
    }
    text = Utf8FromWide(argument);
    for (const char* prefix : {"KEY=", "ONLINE="})
        if (text.compare(0, strlen(prefix), prefix) == 0)
            text = text.substr(strlen(prefix));
    PublicKey parsed;
    if (!ParsePublicKey(text, parsed)) {
        reporter.Error(Utf8FromWide(argument) + ": neither a key file nor the KEY= text of a P-256 key");
        return false;
    }
    return true;
}

int Keys(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    std::vector<std::wstring> positional;
    std::wstring nextRootPath;
    int expiryDays = kDefaultKeysExpiryDays;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--expires" && i + 1 < arguments.size()) {
            if (!ParseExpiryDays(Utf8FromWide(arguments[++i]), expiryDays, reporter))
                return kPublishUsage;
        } else if (arguments[i] == L"--next-root" && i + 1 < arguments.size()) {
            nextRootPath = arguments[++i];
        } else {
            positional.push_back(arguments[i]);
        }
    }
    if (positional.size() < 3) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = positional[0];
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    SigningKey root, nextRoot;
    if (!ReadSigningKey(positional[1], root, reporter) ||
        (!nextRootPath.empty() && !ReadSigningKey(nextRootPath, nextRoot, reporter)))
        return kPublishFailed;
    std::vector<std::string> online;
    for (size_t i = 2; i < positional.size(); ++i) {
        std::string text;
        if (!OnlineKeyText(positional[i], text, reporter))
            return kPublishFailed;
        online.push_back(text);
    }
    // The SERIAL goes on from the file published, so that every launcher takes the new one.
    const std::wstring path = SitePath(site, kKeysFile);
    long long previous = 0;
    std::string bytes;
    if (ReadFileBytes(path, bytes)) {
        KeyValueStore published;
        published.LoadText(bytes);
        previous = ParseIndexSerial(published.GetValue("PATHS", "SERIAL"));
        if (previous < 0 || previous >= kMaxSerial) {
            reporter.Error(std::string(kKeysFile) + ": [PATHS] SERIAL is no decimal number below " +
                           std::to_string(kMaxSerial) + ": set it to the last SERIAL published");
            return kPublishFailed;
        }
    }
    const std::string serial = std::to_string(previous + 1);
    const std::string expires = ExpiryAhead(expiryDays);
    std::string text = "[PATHS]\r\nROLE=" + std::string(kKeysRole) + "\r\nSERIAL=" + serial + "\r\nEXPIRES=" + expires +
                       "\r\n[KEYS]\r\n";
    for (size_t i = 0; i < online.size(); ++i)
        text += "ONLINE" + (i == 0 ? std::string() : std::to_string(i + 1)) + "=" + online[i] + "\r\n";
    const std::string rootText = PublicKeyText(root);
    const std::string nextRootText = nextRootPath.empty() ? std::string() : PublicKeyText(nextRoot);
    if (!nextRootText.empty())
        text += "NEXT_ROOT=" + nextRootText + "\r\n";
    // Each signature is checked the way the launcher will check it.
    StagedFiles staged(site);
    std::string error;
    const std::pair<const SigningKey*, const char*> signers[] = {{&root, ".sig"},
                                                                 {nextRootText.empty() ? nullptr : &nextRoot, ".next.sig"}};
    for (const auto& signer : signers) {
        if (!signer.first)
            continue;
        const std::string signature = SignData(*signer.first, text);
        PublicKey verifier;
        if (signature.empty() || !ParsePublicKey(PublicKeyText(*signer.first), verifier) ||
            !VerifySignature(verifier, text, signature)) {
            reporter.Error(std::string("the platform could not sign ") + kKeysFile);
            return kPublishFailed;
        }
        if (!staged.Stage(path + WideFromUtf8(signer.second), signature, error)) {
            reporter.Error(error + "; nothing written");
            return kPublishFailed;
        }
    }
    if (!staged.Stage(path, text, error) || !staged.Commit(error)) {
        reporter.Error(error + "; nothing written");
        return kPublishFailed;
    }
    // A successor's signature of an earlier keys file means nothing beside this one.
    if (nextRootText.empty())
        DeleteFileW((path + L".next.sig").c_str());
    reporter.Line(std::string(kKeysFile) + ": [PATHS] SERIAL=" + serial + ", EXPIRES=" + expires + ", " +
                  std::to_string(online.size()) + " online key" + (online.size() == 1 ? "" : "s"));
    reporter.Line("ROOT=" + rootText);
    if (!nextRootText.empty())
        reporter.Line("NEXT_ROOT=" + nextRootText + ": launchers take it as their root once they read this file");
    return kPublishDone;
}

} // namespace

int RunPublish(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.empty()) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& command = arguments[0];
    const std::vector<std::wstring> rest(arguments.begin() + 1, arguments.end());
    if (command == L"init")
        return Init(rest, reporter);
    if (command == L"add") {
        AddRequest request;
        if (!ParseAdd(rest, request, reporter))
            return kPublishUsage;
        return Add(request, reporter).Run();
    }
    if (command == L"launcher")
        return PublishLauncher(rest, reporter);
    if (command == L"check")
        return Check(rest, reporter);
    if (command == L"sign")
        return Sign(rest, reporter);
    if (command == L"refresh")
        return Sign(rest, reporter, true);
    if (command == L"keygen")
        return Keygen(rest, reporter);
    if (command == L"keys")
        return Keys(rest, reporter);
    reporter.Error(kUsage);
    return kPublishUsage;
}
