// Fetching one catalogue file: backup, attempts, REDIRECT records, and with
// the maker's key its signature, ROLE, SERIAL and EXPIRES checked before use.
#include "catalogue/CatalogueFiles.h"

#include "format/IndexSections.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

// The copy replaces the target whole (catalogue files are small): a copy cut
// by the end of the process never leaves half a catalogue file behind.
bool CopyOver(const std::string& from, const std::string& to)
{
    std::string bytes;
    return ReadFileBytes(WideFromUtf8(from), bytes) && ReplaceFileContent(WideFromUtf8(to), bytes);
}

void Remove(const std::string& path)
{
    std::error_code error;
    fs::remove(fs::path(WideFromUtf8(path)), error);
}

std::string SignatureOf(const std::string& path) { return path + ".sig"; }
/// A keys file naming a successor root carries that root's signature too.
std::string NextRootSignatureOf(const std::string& path) { return path + ".next.sig"; }

/// A signature is some 70 bytes; anything much longer is no signature.
DownloadOptions SignatureDownload()
{
    DownloadOptions options;
    options.maxBytes = 1024;
    options.deadlineMs = 30000;
    return options;
}

/// Copies a catalogue file with its signatures; a stale signature at the
/// destination never stays beside another file.
bool CopyPair(const std::string& from, const std::string& to)
{
    if (!CopyOver(from, to))
        return false;
    for (const auto signature : {SignatureOf, NextRootSignatureOf}) {
        if (PathExists(WideFromUtf8(signature(from)))) {
            if (!CopyOver(signature(from), signature(to)))
                return false;
            continue;
        }
        Remove(signature(to));
        if (PathExists(WideFromUtf8(signature(to))))
            return false;
    }
    return true;
}

void RemovePair(const std::string& path)
{
    Remove(path);
    Remove(SignatureOf(path));
    Remove(NextRootSignatureOf(path));
}

/// Puts a checked download in place of the local copy, its signatures
/// first, so that the set never holds a new file beside an old signature.
bool MovePair(const std::string& from, const std::string& to)
{
    const auto move = [](const std::string& a, const std::string& b) {
        return MoveFileExW(WideFromUtf8(a).c_str(), WideFromUtf8(b).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    };
    for (const auto signature : {SignatureOf, NextRootSignatureOf}) {
        if (PathExists(WideFromUtf8(signature(from)))) {
            if (!move(signature(from), signature(to)))
                return false;
        } else {
            Remove(signature(to));
        }
    }
    return move(from, to);
}

/// What a signed file passed with: its SERIAL, the SHA-256 of its bytes,
/// its EXPIRES and the settings' name its SERIAL is kept under.
struct Passed {
    long long serial = -1;
    std::string sha256;
    std::string expires;
    std::string serialName;
};

/// The record kept under name, read under the lock the window writes with.
SerialRecord KeptSerial(const LauncherState& state, const std::string& name)
{
    std::lock_guard<std::mutex> hold(state.m_recordsLock);
    return HighestSerial(state.m_settings, name);
}

/// The checks a catalogue file passes before anything in it is used.
class CatalogueCheck {
public:
    CatalogueCheck(const LauncherState& state, CatalogueKind kind) : m_state(state), m_kind(kind) {}

    /// True when the file may be read: without a key always; with one, its
    /// signature holds, it names its role and its SERIAL is not old; a file
    /// with a REDIRECT names the role REDIRECT and carries an EXPIRES still
    /// ahead (its SERIAL is held against the last one taken only while
    /// firstHop). redirect receives the REDIRECT address of the first kRedirectLines
    /// lines (never for a keys file).
    bool Passes(const std::string& path, std::string& redirect, Passed& passed, bool firstHop = true) const
    {
        passed = Passed();
        redirect.clear();
        if (m_kind == CatalogueKind::Keys)
            return KeysFilePasses(path, passed);
        const bool isIndex = m_kind == CatalogueKind::Index;
        PublicKey signer;
        if (m_state.m_signaturesRequired) {
            for (const PublicKey& key : CatalogueSigners(m_state))
                if (CatalogueFileSigned(key, WideFromUtf8(path), WideFromUtf8(SignatureOf(path)))) {
                    signer = key;
                    break;
                }
            if (signer.Empty())
                return false;
        }
        KeyValueStore head;
        head.LoadFile(path, kRedirectLines);
        redirect = head.GetValue("REDIRECT", "URL", "");
        if (!m_state.m_signaturesRequired)
            return true;
        KeyValueStore whole;
        whole.LoadFile(path);
        std::string digest;
        const char* role = redirect.empty() ? CatalogueRole(isIndex) : kRedirectRole;
        if (whole.GetValue("PATHS", "ROLE") != role || !Sha256OfFile(WideFromUtf8(path), digest))
            return false;
        const std::string serialText = whole.GetValue("PATHS", "SERIAL", "");
        const std::string fingerprint = KeyFingerprint(signer);
        passed.sha256 = HexOf(digest);
        passed.expires = whole.GetValue("PATHS", "EXPIRES");
        if (!redirect.empty()) {
            // A redirect is followed only while it is current: replayed
            // later, it sends nobody anywhere.
            passed.serialName = RedirectSerialSettingName(isIndex, fingerprint);
            const SerialRecord kept = firstHop ? KeptSerial(m_state, passed.serialName) : SerialRecord();
            if (!SerialAcceptable(serialText, passed.sha256, kept) || passed.expires.empty() ||
                CatalogueExpired(passed.expires, UtcNowText()))
                return false;
            passed.serial = ParseIndexSerial(serialText);
            return true;
        }
        passed.serialName = SerialSettingName(isIndex, fingerprint);
        if (!SerialAcceptable(serialText, passed.sha256, KeptSerial(m_state, passed.serialName)))
            return false;
        passed.serial = ParseIndexSerial(serialText);
        return true;
    }

private:
    /// The maker's keys file: signed by the current root; one naming a
    /// successor (NEXT_ROOT) signed by that one too (NEXT_ROOT's own
    /// signature is enough once it is the current root). ROLE=KEYS, a
    /// SERIAL not older than the last taken, an EXPIRES still ahead and at
    /// least one online key.
    bool KeysFilePasses(const std::string& path, Passed& passed) const
    {
        if (!m_state.m_signaturesRequired || m_state.m_currentRoot.Empty())
            return false;
        KeysFile keys;
        if (!ReadKeysFile(path, keys) || keys.online.empty())
            return false;
        const std::wstring file = WideFromUtf8(path);
        const bool byCurrent = CatalogueFileSigned(m_state.m_currentRoot, file, WideFromUtf8(SignatureOf(path)));
        if (!keys.nextRootText.empty()) {
            const bool nextIsCurrent = keys.nextRoot.x == m_state.m_currentRoot.x && keys.nextRoot.y == m_state.m_currentRoot.y;
            if (keys.nextRoot.Empty() || !CatalogueFileSigned(keys.nextRoot, file, WideFromUtf8(NextRootSignatureOf(path))) ||
                !(byCurrent || nextIsCurrent))
                return false;
        } else if (!byCurrent) {
            return false;
        }
        KeyValueStore whole;
        whole.LoadFile(path);
        std::string digest;
        if (whole.GetValue("PATHS", "ROLE") != kKeysRole || !Sha256OfFile(file, digest))
            return false;
        passed.sha256 = HexOf(digest);
        passed.expires = whole.GetValue("PATHS", "EXPIRES");
        passed.serialName = KeysSerialSettingName(KeyFingerprint(m_state.m_trust.root));
        const std::string serialText = whole.GetValue("PATHS", "SERIAL", "");
        if (passed.expires.empty() || CatalogueExpired(passed.expires, UtcNowText()) ||
            !SerialAcceptable(serialText, passed.sha256, KeptSerial(m_state, passed.serialName)))
            return false;
        passed.serial = ParseIndexSerial(serialText);
        return true;
    }

    const LauncherState& m_state;
    CatalogueKind m_kind;
};

CatalogueKind KindOf(const std::string& name)
{
    return name == "sw_index" ? CatalogueKind::Index
                              : name == "sw_keys" ? CatalogueKind::Keys : CatalogueKind::Repository;
}

/// An index or repository file: small, and ended with the worker.
DownloadOptions CatalogueDownload(SinkCancel& cancel, bool& overLimit)
{
    DownloadOptions options;
    options.maxBytes = kCatalogueFileLimit;
    options.deadlineMs = kCatalogueFileDeadlineMs;
    options.progress = &cancel;
    options.overLimit = &overLimit;
    return options;
}

bool IndexFileWithinLimit(const std::string& path)
{
    // Read as the records are, without a store's maps: a few times quicker.
    IndexSections index;
    index.Read(WideFromUtf8(path));
    return index.WithinLimit();
}

} // namespace

FetchBudget::FetchBudget(unsigned long long limitMs) : m_endTick(GetTickCount64() + limitMs) {}

unsigned long long FetchBudget::RemainingMs() const
{
    const unsigned long long now = GetTickCount64();
    return now >= m_endTick ? 0 : m_endTick - now;
}

unsigned long long FetchBudget::Cut(unsigned long long transferMs) const
{
    // A transfer gets at least a millisecond: 0 would mean no limit at all.
    const unsigned long long left = std::max(1ull, RemainingMs());
    return transferMs == 0 ? left : std::min(transferMs, left);
}

std::string FetchStatusText(const std::string& name, int attempt)
{
    std::string text = name == "sw_index" ? "Download index file..."
                       : name == "sw_keys" ? "Download keys file..." : "Download repository file...";
    if (attempt >= 1)
        text += "[" + std::to_string(attempt) + " chance]";
    return text;
}

std::string KeysUrlOf(const std::string& indexUrl)
{
    const size_t slash = indexUrl.rfind('/');
    return (slash == std::string::npos ? indexUrl + "/" : indexUrl.substr(0, slash + 1)) + "sw_keys.dat";
}

std::vector<PublicKey> CatalogueSigners(const LauncherState& state)
{
    if (state.m_trust.rootNamed)
        return state.m_onlineKeys;
    return {state.m_makerKey};
}

std::string KeysSerialSettingName(const std::string& rootFingerprint) { return "KEYS_SERIAL_" + rootFingerprint; }
std::string RootSettingName(const std::string& rootFingerprint) { return "ROOT_" + rootFingerprint; }

PublicKey CurrentRoot(const KeyValueStore& settings, const PublicKey& serverRoot)
{
    PublicKey kept;
    if (!serverRoot.Empty() &&
        ParsePublicKey(settings.GetValue(KeyValueStore::kGlobal, RootSettingName(KeyFingerprint(serverRoot))), kept))
        return kept;
    return serverRoot;
}

std::string SerialSettingName(bool isIndex, const std::string& fingerprint)
{
    return std::string(isIndex ? "INDEX_SERIAL_" : "REPO_SERIAL_") + fingerprint;
}

std::string RedirectSerialSettingName(bool isIndex, const std::string& fingerprint)
{
    return std::string(isIndex ? "INDEX_REDIRECT_SERIAL_" : "REPO_REDIRECT_SERIAL_") + fingerprint;
}

SerialRecord HighestSerial(const KeyValueStore& settings, const std::string& name)
{
    SerialRecord record;
    const std::string value = settings.GetValue(KeyValueStore::kGlobal, name);
    if (value.empty())
        return record;
    const size_t blank = value.find(' ');
    record.serial = ParseIndexSerial(value.substr(0, blank));
    if (blank != std::string::npos && IsSha256Hex(value.substr(blank + 1)))
        record.sha256 = value.substr(blank + 1);
    return record;
}

bool RaiseSerial(KeyValueStore& settings, const std::string& name, const SerialRecord& accepted)
{
    const SerialRecord kept = HighestSerial(settings, name);
    if (accepted.serial < 0 || accepted.serial < kept.serial ||
        (accepted.serial == kept.serial && (!kept.sha256.empty() || accepted.sha256.empty())))
        return false;
    settings.SetValue(name, std::to_string(accepted.serial) + (accepted.sha256.empty() ? "" : " " + accepted.sha256));
    return true;
}

std::string CatalogueOutOfDateReason(bool signaturesRequired, const std::string& expires, const std::string& now)
{
    if (!signaturesRequired || !CatalogueExpired(expires, now))
        return "";
    if (!IsExpiryText(expires))
        return "ha una scadenza illeggibile (EXPIRES=" + expires.substr(0, 40) + ")";
    return "\xC3\xA8 scaduto il " + expires.substr(0, 10) + " " + expires.substr(11, 5) + " UTC";
}

bool StoredCatalogueFileUsable(const std::string& name, LauncherState& state, FetchOutcome& outcome,
                               std::string* file)
{
    outcome = FetchOutcome();
    const CatalogueKind kind = KindOf(name);
    // A run ended during its fetch leaves the last copy only as the backup.
    std::string local = state.m_dataFolder + name + ".dat";
    if (!PathExists(WideFromUtf8(local)))
        local += ".bak";
    if (!PathExists(WideFromUtf8(local)))
        return false;
    if (file)
        *file = local;
    std::string redirect;
    Passed passed;
    if (!CatalogueCheck(state, kind).Passes(local, redirect, passed) || !redirect.empty() ||
        (kind == CatalogueKind::Index && !IndexFileWithinLimit(local)))
        return false;
    outcome.usable = true;
    outcome.serial = passed.serial;
    outcome.sha256 = passed.sha256;
    outcome.expires = passed.expires;
    outcome.serialName = passed.serialName;
    return true;
}

std::string FetchCatalogueFile(const std::string& name, LauncherState& state, CatalogueSink& sink,
                               FetchOutcome* outcome, const FetchBudget* budget)
{
    FetchOutcome ignored;
    FetchOutcome& result = outcome ? *outcome : ignored;
    result = FetchOutcome();
    const CatalogueKind kind = KindOf(name);
    const bool isIndex = kind == CatalogueKind::Index;
    const bool signedFiles = state.m_signaturesRequired;
    std::string& sourceUrl = isIndex ? state.m_indexUrl
                                     : kind == CatalogueKind::Keys ? state.m_keysUrl : state.m_repositoryUrl;
    const std::string local = state.m_dataFolder + name + ".dat";
    const std::string backup = local + ".bak";
    // Downloads land beside the local copy and replace it only once checked,
    // so the local copy is always a file that passed.
    const std::string arrival = local + ".new";
    RemovePair(arrival);

    const CatalogueCheck check(state, kind);
    const auto take = [&result](const Passed& passed) {
        result.serial = passed.serial;
        result.sha256 = passed.sha256;
        result.expires = passed.expires;
        result.serialName = passed.serialName;
    };
    const FetchBudget unlimited(kCatalogueFileDeadlineMs * 1000);
    const FetchBudget& left = budget ? *budget : unlimited;

    // When no backup can be written the previous copy stays where it is
    // until a download replaces it; the downloads still go ahead.
    bool previousInPlace = false;
    if (PathExists(WideFromUtf8(local))) {
        if (CopyPair(local, backup))
            RemovePair(local);
        else
            previousInPlace = true;
        // A copy that is backed up but cannot be removed (held open
        // elsewhere) cannot be replaced either: it is used as it is.
        if (!previousInPlace && PathExists(WideFromUtf8(local))) {
            std::string redirect;
            Passed passed;
            result.usable = check.Passes(local, redirect, passed) && redirect.empty();
            result.refused = !result.usable;
            take(passed);
            return local;
        }
    }

    SinkCancel cancel(sink);
    int attempt = 0;
    int redirects = 0;
    bool done = false;
    bool restoreAllowed = true;
    bool checkLocal = false; // this pass checks the restored (or kept) local copy
    while (!done && attempt < 3) {
        sink.SetStatusText(FetchStatusText(name, attempt));
        const std::string candidate = checkLocal ? local : arrival;
        bool arrived = checkLocal;
        checkLocal = false;
        bool signatureMissing = false;
        bool overLimit = false;
        if (!arrived && left.Spent()) {
            // The start's time for the catalogue is over: no more requests.
            result.outOfTime = true;
            attempt = 2;
        } else if (!arrived) {
            DownloadOptions options = CatalogueDownload(cancel, overLimit);
            options.deadlineMs = left.Cut(options.deadlineMs);
            arrived = DownloadToFile(sourceUrl, arrival, options);
            // A file that came without its signature is refused like one
            // with a wrong signature.
            if (arrived && signedFiles) {
                DownloadOptions signature = SignatureDownload();
                signature.deadlineMs = left.Cut(signature.deadlineMs);
                signatureMissing = !DownloadToFile(SignatureOf(sourceUrl), SignatureOf(arrival), signature);
                // A keys file naming a successor root has that root's
                // signature beside it; the check asks for it only then.
                signature.deadlineMs = left.Cut(SignatureDownload().deadlineMs);
                if (!signatureMissing && kind == CatalogueKind::Keys &&
                    !DownloadToFile(NextRootSignatureOf(sourceUrl), NextRootSignatureOf(arrival), signature))
                    Remove(NextRootSignatureOf(arrival));
            }
            if (!arrived && left.Spent())
                result.outOfTime = true;
        }
        // The program may be ending while a download ran: touch no shared state.
        if (sink.Cancelled()) {
            RemovePair(arrival);
            return local;
        }
        // An index too big to list fails like a broken download.
        if (arrived && isIndex && !IndexFileWithinLimit(candidate)) {
            RemovePair(candidate);
            arrived = false;
            overLimit = candidate == arrival;
        }
        // A body over its limit would be over it again: no more attempts.
        if (overLimit) {
            result.overLimit = true;
            attempt = 2;
        }
        if (arrived) {
            std::string redirect;
            Passed passed;
            if (signatureMissing || !check.Passes(candidate, redirect, passed, redirects == 0)) {
                result.refused = true;
                RemovePair(candidate);
            } else if (!redirect.empty()) {
                RemovePair(candidate);
                if (redirects == 0 && passed.serial >= 0) {
                    result.redirectSerial = passed.serial;
                    result.redirectSha256 = passed.sha256;
                    result.redirectSerialName = passed.serialName;
                }
                // Redirects share the file's attempts: a chain of them,
                // failures between, never starts the count again.
                if (++redirects > kMaxRedirects)
                    attempt = 2; // give up as if every download had failed
                else
                    sourceUrl = redirect;
            } else {
                done = candidate == local || MovePair(arrival, local);
                if (done) {
                    result.fresh = candidate == arrival;
                    take(passed);
                } else {
                    RemovePair(arrival);
                }
            }
        }
        ++attempt;
        if (attempt > 2 && !done && restoreAllowed) {
            restoreAllowed = false;
            if (previousInPlace && PathExists(WideFromUtf8(local))) {
                checkLocal = true;
                --attempt;
            } else if (!PathExists(WideFromUtf8(local)) && PathExists(WideFromUtf8(backup))) {
                CopyPair(backup, local);
                checkLocal = PathExists(WideFromUtf8(local));
                --attempt; // one more pass checks the restored copy
            }
        }
    }
    result.usable = done;
    if (done)
        result.outOfTime = false;
    return local;
}
