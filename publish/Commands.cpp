// morvindex-publish's commands by name (RunPublish), what they share, and the
// two small ones: init, which starts a site, and check, which reads it as
// the launcher would. add, launcher, and the signing commands have files of
// their own.
#include "publish/Commands.h"

#include "format/CatalogueFormat.h"
#include "publish/CommandParts.h"
#include "publish/DataFileLines.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "publish/StagedFiles.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>

namespace publish_commands {

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

std::string ExpiryAhead(int days) { return UtcTextAhead(days); }

bool ParseExpiryDays(const std::string& text, int& days, Reporter& reporter)
{
    if (!IsDecimal(text) || text.size() > 4 || ParseNumber(text) < 1 || ParseNumber(text) > 3650) {
        reporter.Error("--expires: \"" + text + "\" is no number of days from 1 to 3650");
        return false;
    }
    days = ParseNumber(text);
    return true;
}

std::string TextFormProblem(const std::string& file, const std::string& bytes)
{
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return file + " begins with a byte-order mark: the launcher would not read its first line; save it "
                      "without one (\"UTF-8\", not \"UTF-8 with BOM\")";
    if (bytes.find('\0') != std::string::npos)
        return file + " holds NUL bytes (saved as UTF-16?): the launcher reads plain 8-bit text; save it as UTF-8";
    return "";
}

std::string OverlongLineProblem(const std::string& file, const DataFileLines& lines)
{
    DataFileLines::Origin overlong;
    if (!lines.FirstOverlongLine(overlong))
        return std::string();
    return file + " line " + std::to_string(overlong.number) + " is over " + std::to_string(kMaxLineBytes) +
           " bytes: the launcher stops reading there; shorten it first";
}

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

bool RecoverSite(const std::wstring& site, Reporter& reporter)
{
    if (StagedFiles::Recover(site)) {
        for (const std::string& leftover : StagedFiles::RemoveLeftovers(site))
            reporter.Line("note: removed " + leftover + ", left by a command that was ended before it finished");
        return true;
    }
    reporter.Error("an earlier command ended while writing " + Utf8FromWide(site) +
                   ", and its files cannot all be put back (" + StagedFiles::kJournalName +
                   " there says which): close what holds them and run the command again");
    return false;
}

// ---- init ----

int RunInit(const std::vector<std::wstring>& arguments, Reporter& reporter)
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

// ---- check ----

int RunCheck(const std::vector<std::wstring>& arguments, Reporter& reporter)
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
        reporter.Error("--key: no key (a server.dat file holds it as [SIGNATURE] KEY= or ROOT=, on any line)");
        return kPublishFailed;
    }
    SiteReport report = CheckSite(site, key, root);
    for (const std::string& note : report.notes)
        reporter.Line("note: " + note);
    for (const std::string& problem : report.problems)
        reporter.Line(problem);
    return report.problems.empty() ? kPublishDone : kPublishFailed;
}

} // namespace publish_commands

int RunPublish(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    using namespace publish_commands;
    if (arguments.empty()) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& command = arguments[0];
    const std::vector<std::wstring> rest(arguments.begin() + 1, arguments.end());
    if (command == L"init")
        return RunInit(rest, reporter);
    if (command == L"add")
        return RunAdd(rest, reporter);
    if (command == L"launcher")
        return RunLauncher(rest, reporter);
    if (command == L"check")
        return RunCheck(rest, reporter);
    if (command == L"sign")
        return RunSign(rest, reporter, false);
    if (command == L"refresh")
        return RunSign(rest, reporter, true);
    if (command == L"keygen")
        return RunKeygen(rest, reporter);
    if (command == L"keys")
        return RunKeys(rest, reporter);
    reporter.Error(kUsage);
    return kPublishUsage;
}
