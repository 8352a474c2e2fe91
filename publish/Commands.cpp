#include "publish/Commands.h"

#include "catalogue/Catalogue.h"
#include "catalogue/CatalogueFiles.h"
#include "install/ArchiveEntries.h"
#include "net/Crypto.h"
#include "publish/DataFileLines.h"
#include "publish/Packer.h"
#include "publish/Signing.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <filesystem>
#include <utility>

namespace {

const char kUsage[] =
    "usage: morvindex-publish COMMAND ...\n"
    "  init SITE BASE_URL\n"
    "      a new sw_index.dat ([PATHS] BASE=BASE_URL, SERIAL=1) and sw_repo.dat in the folder SITE\n"
    "  add SITE NAME BUILD FOLDER [--package] [--execute FILE] [--deps A,B] [--title TEXT] [--category CAT]\n"
    "      packs FOLDER as build BUILD of NAME (a package with --package) and updates the index\n"
    "  check SITE [--key KEY]\n"
    "      reads the site as the launcher would; KEY is the KEY= text of server.dat, or that file\n"
    "  sign SITE PRIVATE_KEY\n"
    "      writes sw_index.dat.sig and sw_repo.dat.sig with the key (a PEM file of openssl or keygen)\n"
    "  keygen PRIVATE_KEY\n"
    "      writes a new P-256 key and prints the KEY= line for server.dat";

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

// ---- init ----

int Init(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.size() != 2) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = arguments[0];
    const std::string base = Utf8FromWide(arguments[1]);
    if ((base.compare(0, 7, "http://") != 0 && base.compare(0, 8, "https://") != 0) || base.back() != '/') {
        reporter.Error("BASE_URL must be an http:// or https:// address ending with \"/\": the launcher puts it "
                       "in front of every name of the index as it is");
        return kPublishUsage;
    }
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
    index.SetValue("SERIAL", "1", "PATHS");
    KeyValueStore repository;
    const std::string indexAddress = base + kIndexFile;
    repository.SetValue("URL", indexAddress, "PRINCIPALE");
    if (!index.SaveFile(SitePath(site, kIndexFile)) || !repository.SaveFile(SitePath(site, kRepositoryFile))) {
        reporter.Error("cannot write the catalogue files in " + Utf8FromWide(site));
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
    bool hasExecute = false, hasDeps = false, hasTitle = false, hasCategory = false;
    std::string execute, deps, title, category;
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
            {L"--category", {&request.hasCategory, &request.category}}};
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
        const std::wstring indexPath = SitePath(request.site, kIndexFile);
        std::string indexBytes;
        if (!ReadFileBytes(indexPath, indexBytes))
            return Refuse("no sw_index.dat in " + Utf8FromWide(request.site) + ": start the site with init");
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
        if (!IsDecimal(request.build) || request.build.size() > 9)
            return Refuse("BUILD must be a decimal number, not \"" + request.build + "\"");
        const int build = ParseNumber(request.build);
        if (!IsFolderPath(request.folder))
            return Refuse(Utf8FromWide(request.folder) + " is not a folder");
        const std::string serialText = index.GetValue("PATHS", "SERIAL");
        const long long previousSerial = index.HasKey("PATHS", "SERIAL") ? ParseIndexSerial(serialText) : 0;
        if (previousSerial < 0)
            return Refuse("[PATHS] SERIAL is no decimal number (\"" + serialText + "\")");
        const std::string serial = std::to_string(previousSerial + 1);
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
        if (!m_package && !CheckExecute(index, content))
            return kPublishFailed;

        // The archive goes where the launcher will look for it.
        const std::string base = index.GetValue("PATHS", "BASE");
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
        const std::wstring temporary = archive + L".publishing";
        auto discard = [&] {
            DeleteFileW(temporary.c_str());
            if (madeFolder)
                RemoveDirectoryW(archiveFolder.c_str());
        };
        std::string error;
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

        // Only the section's lines and the SERIAL line change.
        expected.SetValue("SERIAL", serial, "PATHS");
        for (const auto& key : m_keys)
            lines.Set(name, key.first, key.second);
        lines.Set("PATHS", "SERIAL", serial);
        const std::string text = lines.Text();
        KeyValueStore written;
        written.LoadText(text);
        if (written != expected) {
            discard();
            return Refuse("the edited sw_index.dat does not read back as intended; nothing written");
        }

        const bool replacing = IsFilePath(archive);
        if (!MoveFileExW(temporary.c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD code = GetLastError();
            discard();
            return Refuse("cannot write " + Utf8FromWide(archive) + ": " + Win32ErrorText(code));
        }
        if (!m_package && !WriteEntriesFile(archive, entriesText))
            return Refuse("cannot write " + Utf8FromWide(archive + L".entries") + "; " + relative +
                          " is already in place");
        if (!ReplaceFileContent(indexPath, text))
            return Refuse("cannot write " + Utf8FromWide(indexPath) + "; " + relative + " is already in place");

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
    static bool WriteEntriesFile(const std::wstring& archive, const std::string& text)
    {
        return ReplaceFileContent(archive + L".entries", text);
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
        m_reporter.Line("sw_index.dat: [" + name + "] " + keys + "; [PATHS] SERIAL=" + serial);
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
    bool m_package = false;
    std::vector<std::pair<std::string, std::string>> m_pending; // from the options
    std::vector<std::pair<std::string, std::string>> m_keys;    // every key written, in order
};

// ---- check ----

int Check(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    std::wstring site;
    std::string key;
    bool haveKey = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--key" && i + 1 < arguments.size()) {
            key = KeyArgument(Utf8FromWide(arguments[++i]));
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
    if (haveKey && key.empty()) {
        reporter.Error("--key: no key (a server.dat file holds it as [SIGNATURE] KEY= within its first 10 lines)");
        return kPublishFailed;
    }
    SiteReport report = CheckSite(site, key);
    for (const std::string& note : report.notes)
        reporter.Line("note: " + note);
    for (const std::string& problem : report.problems)
        reporter.Line(problem);
    return report.problems.empty() ? kPublishDone : kPublishFailed;
}

// ---- sign and keygen ----

int Sign(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.size() != 2) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = arguments[0];
    std::string pem, error;
    SigningKey key;
    if (!ReadFileBytes(arguments[1], pem)) {
        reporter.Error("cannot read the key " + Utf8FromWide(arguments[1]));
        return kPublishFailed;
    }
    if (!ParsePrivateKeyPem(pem, key, error)) {
        reporter.Error(Utf8FromWide(arguments[1]) + ": " + error);
        return kPublishFailed;
    }
    SecureZeroMemory(&pem[0], pem.size());
    const std::string publicKey = PublicKeyText(key);
    PublicKey verifier;
    std::string signatures[2];
    const char* files[2] = {kIndexFile, kRepositoryFile};
    for (int i = 0; i < 2; ++i) {
        std::string bytes;
        if (!ReadFileBytes(SitePath(site, files[i]), bytes)) {
            reporter.Error(std::string("no ") + files[i] + " in " + Utf8FromWide(site));
            return kPublishFailed;
        }
        if (i == 0) {
            KeyValueStore index;
            index.LoadText(bytes);
            if (index.GetValue("REDIRECT", "URL").empty() && ParseIndexSerial(index.GetValue("PATHS", "SERIAL")) < 0) {
                reporter.Error("sw_index.dat: [PATHS] SERIAL is missing or no decimal number: a launcher with "
                               "the key would refuse the index");
                return kPublishFailed;
            }
        }
        signatures[i] = SignData(key, bytes);
        // The signature is checked the way the launcher will check it.
        if (signatures[i].empty() || !ParsePublicKey(publicKey, verifier) ||
            !VerifySignature(verifier, bytes, signatures[i])) {
            reporter.Error(std::string("the platform could not sign ") + files[i]);
            return kPublishFailed;
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (!ReplaceFileContent(SitePath(site, std::string(files[i]) + kSignatureSuffix), signatures[i])) {
            reporter.Error("cannot write " + Utf8FromWide(SitePath(site, std::string(files[i]) + kSignatureSuffix)));
            return kPublishFailed;
        }
        reporter.Line(std::string(files[i]) + kSignatureSuffix + " written");
    }
    reporter.Line("KEY=" + publicKey);
    return kPublishDone;
}

int Keygen(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.size() != 1) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& path = arguments[0];
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
    reporter.Line("KEY=" + PublicKeyText(key));
    reporter.Line("put this line in the [SIGNATURE] section of server.dat; keep " + Utf8FromWide(path) +
                  " off the web server");
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
    if (command == L"check")
        return Check(rest, reporter);
    if (command == L"sign")
        return Sign(rest, reporter);
    if (command == L"keygen")
        return Keygen(rest, reporter);
    reporter.Error(kUsage);
    return kPublishUsage;
}
