// morvindex-publish add: packs a build folder as a program's (or a
// package's) archive with its entries file, checks it as the launcher's
// library will read it, and writes the section of the index; the archive,
// its entries file and the index go in place together, or none does.
#include "format/ArchiveEntries.h"
#include "format/CatalogueFormat.h"
#include "net/Crypto.h"
#include "publish/CommandParts.h"
#include "publish/DataFileLines.h"
#include "publish/Packer.h"
#include "publish/Site.h"
#include "publish/StagedFiles.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/EntryNames.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <utility>

namespace publish_commands {

namespace {

/// A value as the reader gives it back: trailing blanks go with the line's.
bool CleanValue(const std::string& key, std::string& value, Reporter& reporter)
{
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        reporter.Error(key + ": a value cannot hold a line break");
        return false;
    }
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    if (key.size() + 1 + value.size() > kMaxLineBytes) {
        reporter.Error(key + ": the line would be over " + std::to_string(kMaxLineBytes) +
                       " bytes, where the launcher stops reading");
        return false;
    }
    return true;
}

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
        const std::string overlong = OverlongLineProblem(kIndexFile, lines);
        if (!overlong.empty())
            return Refuse(overlong);
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
        if ((!m_package && !staged.Stage(SitePath(request.site, EntriesAddressFor(relative)), entriesText, error)) ||
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
            if (!IsPlainRelativePath(execute)) {
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
            const std::string folded = FoldedFileName(SlashedEntryName(execute));
            bool found = false;
            for (const PackedFile& file : content.files)
                found = found || FoldedFileName(SlashedEntryName(file.name)) == folded;
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

} // namespace

int RunAdd(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    AddRequest request;
    if (!ParseAdd(arguments, request, reporter))
        return kPublishUsage;
    return Add(request, reporter).Run();
}

} // namespace publish_commands
