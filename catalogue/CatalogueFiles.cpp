#include "catalogue/CatalogueFiles.h"

#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(fs::path(WideFromUtf8(path)), error);
}

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

/// A signature is some 70 bytes; anything much longer is no signature.
DownloadOptions SignatureDownload()
{
    DownloadOptions options;
    options.maxBytes = 1024;
    options.deadlineMs = 30000;
    return options;
}

/// Copies a catalogue file with its signature; a stale signature at the
/// destination never stays beside another file.
bool CopyPair(const std::string& from, const std::string& to)
{
    if (!CopyOver(from, to))
        return false;
    if (Exists(SignatureOf(from)))
        return CopyOver(SignatureOf(from), SignatureOf(to));
    Remove(SignatureOf(to));
    return !Exists(SignatureOf(to));
}

void RemovePair(const std::string& path)
{
    Remove(path);
    Remove(SignatureOf(path));
}

/// Puts a checked download in place of the local copy, its signature first,
/// so that the pair never holds a new file beside an old signature.
bool MovePair(const std::string& from, const std::string& to)
{
    const auto move = [](const std::string& a, const std::string& b) {
        return MoveFileExW(WideFromUtf8(a).c_str(), WideFromUtf8(b).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    };
    if (Exists(SignatureOf(from))) {
        if (!move(SignatureOf(from), SignatureOf(to)))
            return false;
    } else {
        Remove(SignatureOf(to));
    }
    return move(from, to);
}

/// What a signed file passed with: its SERIAL, the SHA-256 of its bytes and
/// its EXPIRES.
struct Passed {
    long long serial = -1;
    std::string sha256;
    std::string expires;
};

/// The checks a catalogue file passes before anything in it is used.
class CatalogueCheck {
public:
    CatalogueCheck(const LauncherState& state, bool isIndex, const SerialRecord& highest)
        : m_state(state), m_isIndex(isIndex), m_highest(highest)
    {
    }

    /// True when the file may be read: without a key always; with one, its
    /// signature holds and (for a file without REDIRECT) it names its role
    /// and its SERIAL is not old. redirect receives the REDIRECT address of
    /// the first 10 lines.
    bool Passes(const std::string& path, std::string& redirect, Passed& passed) const
    {
        passed = Passed();
        if (m_state.m_signaturesRequired &&
            !CatalogueFileSigned(m_state.m_makerKey, WideFromUtf8(path), WideFromUtf8(SignatureOf(path))))
            return false;
        KeyValueStore head;
        head.LoadFile(path, 10);
        redirect = head.GetValue("REDIRECT", "URL", "");
        if (!m_state.m_signaturesRequired || !redirect.empty())
            return true;
        KeyValueStore whole;
        whole.LoadFile(path);
        std::string digest;
        if (whole.GetValue("PATHS", "ROLE") != CatalogueRole(m_isIndex) ||
            !Sha256OfFile(WideFromUtf8(path), digest))
            return false;
        const std::string serialText = whole.GetValue("PATHS", "SERIAL", "");
        passed.sha256 = HexOf(digest);
        if (!SerialAcceptable(serialText, passed.sha256, m_highest))
            return false;
        passed.serial = ParseIndexSerial(serialText);
        passed.expires = whole.GetValue("PATHS", "EXPIRES");
        return true;
    }

private:
    const LauncherState& m_state;
    bool m_isIndex;
    SerialRecord m_highest;
};

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
    KeyValueStore index;
    index.LoadFile(path);
    return IndexSectionsWithinLimit(index);
}

} // namespace

bool IndexSectionsWithinLimit(const KeyValueStore& index)
{
    const KeyValueStore::Sections& sections = index.AllSections();
    const size_t global = sections.count(KeyValueStore::kGlobal);
    return sections.size() - global <= kMaxIndexSections;
}

std::string FetchStatusText(const std::string& name, int attempt)
{
    std::string text = name == "sw_index" ? "Download index file..." : "Download repository file...";
    if (attempt >= 1)
        text += "[" + std::to_string(attempt) + " chance]";
    return text;
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

std::string KeyFingerprint(const PublicKey& key)
{
    return UpperAscii(HexOf(Sha256Of(key.x + key.y)).substr(0, 16));
}

std::string SerialSettingName(bool isIndex, const std::string& fingerprint)
{
    return std::string(isIndex ? "INDEX_SERIAL_" : "REPO_SERIAL_") + fingerprint;
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

std::string FetchCatalogueFile(const std::string& name, LauncherState& state, CatalogueSink& sink,
                               FetchOutcome* outcome)
{
    FetchOutcome ignored;
    FetchOutcome& result = outcome ? *outcome : ignored;
    result = FetchOutcome();
    const bool isIndex = name == "sw_index";
    const bool signedFiles = state.m_signaturesRequired;
    std::string& sourceUrl = isIndex ? state.m_indexUrl : state.m_repositoryUrl;
    const std::string local = state.m_dataFolder + name + ".dat";
    const std::string backup = local + ".bak";
    // Downloads land beside the local copy and replace it only once checked,
    // so the local copy is always a file that passed.
    const std::string arrival = local + ".new";
    RemovePair(arrival);

    SerialRecord highest;
    if (signedFiles) {
        result.serialName = SerialSettingName(isIndex, KeyFingerprint(state.m_makerKey));
        // The window writes the settings under this lock.
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        highest = HighestSerial(state.m_settings, result.serialName);
    }
    const CatalogueCheck check(state, isIndex, highest);
    const auto take = [&result](const Passed& passed) {
        result.serial = passed.serial;
        result.sha256 = passed.sha256;
        result.expires = passed.expires;
    };

    // When no backup can be written the previous copy stays where it is
    // until a download replaces it; the downloads still go ahead.
    bool previousInPlace = false;
    if (Exists(local)) {
        if (CopyPair(local, backup))
            RemovePair(local);
        else
            previousInPlace = true;
        // A copy that is backed up but cannot be removed (held open
        // elsewhere) cannot be replaced either: it is used as it is.
        if (!previousInPlace && Exists(local)) {
            std::string redirect;
            Passed passed;
            result.usable = check.Passes(local, redirect, passed);
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
        if (!arrived) {
            arrived = DownloadToFile(sourceUrl, arrival, CatalogueDownload(cancel, overLimit));
            // A file that came without its signature is refused like one
            // with a wrong signature.
            signatureMissing = arrived && signedFiles &&
                               !DownloadToFile(SignatureOf(sourceUrl), SignatureOf(arrival), SignatureDownload());
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
            if (signatureMissing || !check.Passes(candidate, redirect, passed)) {
                result.refused = true;
                RemovePair(candidate);
            } else if (!redirect.empty()) {
                RemovePair(candidate);
                if (++redirects > kMaxRedirects) {
                    attempt = 2; // give up as if every download had failed
                } else {
                    attempt = 0;
                    sourceUrl = redirect;
                }
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
            if (previousInPlace && Exists(local)) {
                checkLocal = true;
                --attempt;
            } else if (!Exists(local) && Exists(backup)) {
                CopyPair(backup, local);
                checkLocal = Exists(local);
                --attempt; // one more pass checks the restored copy
            }
        }
    }
    result.usable = done;
    return local;
}
