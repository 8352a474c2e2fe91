// Bringing the index (sw_index.dat) and repository (sw_repo.dat) files of the
// data folder up to date, with a backup, three attempts and REDIRECT records;
// with the maker's key, only files signed with it.
#pragma once

#include "catalogue/CatalogueSink.h"
#include "launcher/LauncherState.h"
#include "net/Crypto.h"

#include <string>

/// How many REDIRECT records one call follows before it gives up as if every
/// download had failed.
constexpr int kMaxRedirects = 10;

/// Status text before an attempt: "Download index file..." (or repository),
/// with "[n chance]" from the second attempt on.
std::string FetchStatusText(const std::string& name, int attempt);

/// SERIAL of an index: decimal digits only (at most 18); -1 for anything else.
long long ParseIndexSerial(const std::string& text);

/// The rule against going back: an index's SERIAL text must be present and
/// not lower than the highest accepted so far (-1 when none was).
bool IndexSerialAcceptable(const std::string& serialText, long long highestAccepted);

/// The highest SERIAL accepted so far: the settings' global INDEX_SERIAL; -1 when none.
long long HighestIndexSerial(const KeyValueStore& settings);

/// Raises the settings' INDEX_SERIAL to serial; false (nothing changed) when
/// it is already as high.
bool RaiseIndexSerial(KeyValueStore& settings, long long serial);

/// True when the file at path is what the signature file beside it (DER
/// ECDSA over the file's SHA-256) says key signed.
bool CatalogueFileSigned(const PublicKey& key, const std::wstring& path, const std::wstring& signaturePath);

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
    /// SERIAL of the index now in use, when a key asks for one (-1 otherwise).
    long long serial = -1;
};

/// Keeps the previous copy as <file>.bak, downloads a fresh one (three
/// attempts), follows a REDIRECT record found in its first 10 lines, and falls
/// back to the backup when every attempt fails. With the maker's key each
/// downloaded file needs its signature at <url>.sig, kept beside the local
/// copy as <file>.sig, and the index a SERIAL no lower than the highest
/// accepted so far; a file that fails counts as a failed download. Returns
/// the local path; it may not exist afterwards, and it is used only when
/// outcome says so.
std::string FetchCatalogueFile(const std::string& name, LauncherState& state, CatalogueSink& sink,
                               FetchOutcome* outcome = nullptr);
