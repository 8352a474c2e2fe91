// The site check's reading of the catalogue files themselves, as the
// launcher reads them: their size and lines, a REDIRECT within the first
// lines, the server list, the signatures (with the maker's key, or the online
// keys of sw_keys.dat under the root), SERIAL, ROLE and EXPIRES; and the
// --key argument, read from server.dat as the launcher reads that file.
#include "publish/SiteCheck.h"

#include "format/CatalogueFormat.h"
#include "format/ServerFile.h"
#include "net/Crypto.h"
#include "publish/DataFileLines.h"
#include "publish/Site.h"
#include "publish/SiteChecker.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

namespace {

/// Farthest EXPIRES check accepts without a word.
constexpr int kFarExpiryDays = 90;

} // namespace

std::string SiteChecker::Where(const std::string& file, const std::string& section, const std::string& key)
{
    std::string text = file + ": ";
    if (!section.empty())
        text += "[" + section + "] ";
    if (!key.empty())
        text += key + ": ";
    return text;
}

void SiteChecker::Problem(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& text)
{
    m_report.problems.push_back(Where(file, section, key) + text);
}

/// The launcher stops a download over its limit and keeps what it had.
bool SiteChecker::WithinLimit(const std::string& file, uint64_t size, uint64_t limit)
{
    if (size <= limit)
        return true;
    Problem(file, "", "",
            std::to_string(size) + " bytes, over " + std::to_string(limit) +
                ": the launcher refuses the download and keeps what it had");
    return false;
}

bool SiteChecker::ReadCatalogueFile(const char* name, std::string& bytes)
{
    if (ReadFileBytes(SitePath(m_site, name), bytes))
        return true;
    Problem(name, "", "", "missing");
    return false;
}

/// The launcher's reading of a catalogue file: a line over kMaxLineBytes
/// ends it, and a REDIRECT counts only in the first lines.
void SiteChecker::CheckLinesAndRedirect(const char* file, const std::string& bytes, KeyValueStore& store)
{
    DataFileLines lines(bytes);
    DataFileLines::Origin origin;
    if (lines.FirstOverlongLine(origin)) {
        std::string key = origin.key.size() > 40 ? origin.key.substr(0, 40) + "..." : origin.key;
        Problem(file, origin.section == KeyValueStore::kGlobal ? "" : origin.section, key,
                "line " + std::to_string(origin.number) + " is " + std::to_string(origin.bytes) +
                    " bytes, over " + std::to_string(kMaxLineBytes) +
                    ": the launcher stops reading there and drops the rest of the file");
    }
    store.LoadText(bytes);
    KeyValueStore head;
    head.LoadText(bytes, kRedirectLines);
    const std::string redirect = store.GetValue("REDIRECT", "URL");
    if (!head.GetValue("REDIRECT", "URL").empty())
        m_redirecting.insert(file);
    if (!redirect.empty() && head.GetValue("REDIRECT", "URL").empty())
        Problem(file, "REDIRECT", "URL",
                "past line " + std::to_string(kRedirectLines) + ": the launcher looks for it only in the first " +
                    std::to_string(kRedirectLines) + " lines and ignores it");
    else if (!redirect.empty())
        m_report.notes.push_back(Where(file, "REDIRECT", "URL") + "the launcher reads " + redirect +
                                 " instead of this file; that file is not checked");
}

void SiteChecker::CheckRepository(const std::string& bytes)
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

void SiteChecker::CheckSignatures(bool haveIndex, const std::string& index, bool haveRepository,
                                  const std::string& repository)
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
        if (!PathExists(signaturePath))
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
std::vector<PublicKey> SiteChecker::CheckKeysFile()
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
void SiteChecker::CheckExpiry(const char* file, const KeyValueStore& store, bool redirect)
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

void SiteChecker::CheckSerial()
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
