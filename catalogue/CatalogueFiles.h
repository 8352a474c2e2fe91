// Bringing the index (sw_index.dat) and repository (sw_repo.dat) files of the
// data folder up to date, with a backup, three attempts and REDIRECT records;
// with the maker's key, only files signed with it.
#pragma once

#include "catalogue/CatalogueSink.h"
#include "environment/LauncherState.h"
#include "format/CatalogueFormat.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// How many REDIRECT records one call follows before it gives up as if every
/// download had failed.
constexpr int kMaxRedirects = 10;

/// Longest time one catalogue file's transfer may take, whatever its pace.
constexpr unsigned long long kCatalogueFileDeadlineMs = 120000;

/// The time left of the start's one limit for every catalogue fetch
/// (kCatalogueFetchLimitMs), shared by every transfer of a start.
class FetchBudget {
public:
    explicit FetchBudget(unsigned long long limitMs);
    /// Milliseconds left; 0 once the limit has passed.
    unsigned long long RemainingMs() const;
    bool Spent() const { return RemainingMs() == 0; }
    /// A transfer's own limit (0: none), cut to what is left.
    unsigned long long Cut(unsigned long long transferMs) const;

private:
    unsigned long long m_endTick;
};

/// Hands a catalogue download the worker's cancel: the transfer ends once
/// the window has gone.
class SinkCancel : public DownloadProgress {
public:
    explicit SinkCancel(const CatalogueSink& sink) : m_sink(sink) {}
    void Received(uint64_t, uint64_t) override {}
    bool Cancelled() const override { return m_sink.Cancelled(); }

private:
    const CatalogueSink& m_sink;
};

/// Status text before an attempt: "Download index file..." (or repository),
/// with "[n chance]" from the second attempt on.
std::string FetchStatusText(const std::string& name, int attempt);

/// The kinds of signed file a start fetches.
enum class CatalogueKind { Index, Repository, Keys };

/// sw_keys.dat beside the index's address (its folder, the same server).
std::string KeysUrlOf(const std::string& indexUrl);

/// The keys a catalogue file may be signed with: with a root in server.dat
/// the online keys of the keys file taken, otherwise the one KEY=.
std::vector<PublicKey> CatalogueSigners(const LauncherState& state);

/// The settings' names of the keys file's highest SERIAL and of the root in
/// use since a rotation, for the root server.dat names (its fingerprint):
/// KEYS_SERIAL_<fingerprint> and ROOT_<fingerprint> (the base64 key).
std::string KeysSerialSettingName(const std::string& rootFingerprint);
std::string RootSettingName(const std::string& rootFingerprint);

/// The root in use: the one the settings keep for server.dat's root after a
/// rotation, or that root itself.
PublicKey CurrentRoot(const KeyValueStore& settings, const PublicKey& serverRoot);

/// The settings' name for the highest SERIAL of a kind of file under a key:
/// INDEX_SERIAL_<fingerprint> or REPO_SERIAL_<fingerprint>.
std::string SerialSettingName(bool isIndex, const std::string& fingerprint);
/// The same for the REDIRECT file met first when fetching the index or the
/// repository: INDEX_REDIRECT_SERIAL_<fingerprint> or REPO_REDIRECT_SERIAL_<fingerprint>.
std::string RedirectSerialSettingName(bool isIndex, const std::string& fingerprint);

/// The record kept under name (its value: SERIAL, a blank, the SHA-256);
/// serial -1 when there is none.
SerialRecord HighestSerial(const KeyValueStore& settings, const std::string& name);

/// Keeps accepted under name when it is newer than what is kept (or as new,
/// where the bytes were unknown); false when nothing changed.
bool RaiseSerial(KeyValueStore& settings, const std::string& name, const SerialRecord& accepted);

/// With the maker's key, why the index the catalogue was read from (its
/// EXPIRES given) may no longer install or update anything, in words for
/// the user: "è scaduto il 2020-03-01 10:30 UTC", or that its EXPIRES is
/// unreadable. "" when it is current, has no EXPIRES, or no key is set.
std::string CatalogueOutOfDateReason(bool signaturesRequired, const std::string& expires, const std::string& now);

/// What one fetch came to.
struct FetchOutcome {
    /// The local file may be used: downloaded or restored in this call and,
    /// with a key, verified.
    bool usable = false;
    /// The local file is a fresh download (not the backup).
    bool fresh = false;
    /// A file arrived but was refused: no signature, a wrong one, or (index)
    /// an old SERIAL.
    bool refused = false;
    /// SERIAL of the file now in use, when a key asks for one (-1 otherwise).
    long long serial = -1;
    /// With a key: SHA-256 (hex) of the file in use, the settings' name its
    /// SERIAL is kept under, and its [PATHS] EXPIRES ("" when it has none).
    std::string sha256;
    std::string serialName;
    std::string expires;
    /// The body was over its limit: tried once, not again.
    bool overLimit = false;
    /// The start's overall fetch limit passed before a fresh file was taken.
    bool outOfTime = false;
    /// With a key, the first REDIRECT file followed: its SERIAL (-1 when
    /// none), SHA-256 and the settings' name its SERIAL is kept under.
    long long redirectSerial = -1;
    std::string redirectSha256;
    std::string redirectSerialName;
};

/// Whether the local copy of name (sw_index or sw_repo) kept by the last
/// run still passes every check of a download (signature, ROLE, SERIAL
/// against the settings), so that it can be shown before any request.
/// outcome is filled as for a file restored from the backup. Without a local
/// copy (a run ended during its fetch) the backup is checked instead; file
/// gets the path of the one checked.
bool StoredCatalogueFileUsable(const std::string& name, LauncherState& state, FetchOutcome& outcome,
                               std::string* file = nullptr);

/// Brings name (sw_index, sw_repo or sw_keys) up to date: keeps the previous
/// copy as <file>.bak, downloads a fresh one (three attempts, shared with the
/// REDIRECT records it follows, all within budget when one is given),
/// follows a REDIRECT record found in its first kRedirectLines lines, and falls back to
/// the backup when every attempt fails. With the maker's key each downloaded
/// file needs its signature at <url>.sig, kept beside the local copy as
/// <file>.sig, a [PATHS] ROLE naming it and a SERIAL no lower than the
/// highest accepted so far under the key that signed it (an equal one only
/// with the same bytes); a file with a REDIRECT says ROLE=REDIRECT and
/// carries an EXPIRES still ahead. A keys file is checked against the root
/// (see ReadKeysFile). A file that fails counts as a failed download.
/// Returns the local path; it may not exist afterwards, and it is used only
/// when outcome says so.
std::string FetchCatalogueFile(const std::string& name, LauncherState& state, CatalogueSink& sink,
                               FetchOutcome* outcome = nullptr, const FetchBudget* budget = nullptr);
