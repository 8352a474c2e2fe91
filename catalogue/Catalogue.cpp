// The catalogue worker's job: the stored list shown at once, the files
// fetched within the start's limit, records joined with the installed state,
// the server list, and the thumbnails fetched and checked.
#include "catalogue/Catalogue.h"

#include "catalogue/CatalogueFiles.h"
#include "environment/DataFolder.h"
#include "format/IndexSections.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <filesystem>
#include <map>
#include <set>

bool ApplyFileCheck(const FileCheck& check, bool signaturesRequired, DownloadOptions& options)
{
    if (check.malformed || (signaturesRequired && check.sha256.empty()))
        return false;
    options.expectedSha256 = check.sha256;
    options.expectedSize = check.size;
    return true;
}

void ApplyThumbnail(std::vector<SoftwareRecord>& catalogue, const std::string& address, const std::string& file)
{
    for (SoftwareRecord& record : catalogue)
        if (record.thumbnailAddress == address)
            record.thumbnailFile = file;
}

namespace {

// The distinct non-empty thumbnail addresses of the catalogue, in ascending byte order.
std::vector<std::string> ThumbnailAddresses(const std::vector<SoftwareRecord>& catalogue)
{
    // Sorted once at the end rather than kept in a set: one block for the
    // list instead of a node per address.
    std::vector<const std::string*> found;
    found.reserve(catalogue.size());
    for (const SoftwareRecord& record : catalogue)
        if (!record.thumbnailAddress.empty())
            found.push_back(&record.thumbnailAddress);
    auto before = [](const std::string* a, const std::string* b) { return *a < *b; };
    // Pictures are mostly named after their programs, so the addresses often
    // come in order already: a check is cheaper than a sort of long strings.
    if (!std::is_sorted(found.begin(), found.end(), before))
        std::sort(found.begin(), found.end(), before);
    auto same = [](const std::string* a, const std::string* b) { return *a == *b; };
    found.erase(std::unique(found.begin(), found.end(), same), found.end());
    std::vector<std::string> addresses;
    addresses.reserve(found.size());
    for (const std::string* address : found)
        addresses.push_back(*address);
    return addresses;
}

} // namespace

void LoadServers(LauncherState& state, const std::string& repositoryFile, CatalogueSink& sink)
{
    KeyValueStore repository;
    repository.LoadFile(repositoryFile);
    sink.ResetServers();
    state.m_servers.clear();
    int selected = -1;
    for (auto& entry : repository.AllSections()) {
        KeyValueSection& section = entry.second;
        if (!section.Find("URL"))
            continue;
        state.m_servers.push_back(section.CurrentValue());
        sink.AddServer(WideFromUtf8(section.Name()));
        if (section.CurrentValue() == state.m_indexUrl)
            selected = static_cast<int>(state.m_servers.size()) - 1;
    }
    if (selected >= 0)
        sink.SelectServer(selected);
}

BuiltCatalogue ReadCatalogue(const std::string& indexFile, const std::wstring& allCategories,
                             const KeyValueStore* settings)
{
    BuiltCatalogue built;
    built.categories.push_back(allCategories);
    std::set<std::string> seenCategories;

    // Read straight into the records' fields: the index's bytes are held once
    // and its values viewed in place, so only the records' own texts are
    // allocated.
    IndexSections index;
    index.Read(WideFromUtf8(indexFile));
    built.records.reserve(index.Count());
    const std::string base(index.Base());
    built.expires = index.Expires();
    for (size_t i = 0; i < index.Count(); ++i) {
        const RecordValues& values = index.Values(i);
        if (!values[RecordKey::Type].Present())
            continue;
        // The name becomes a folder and file name of the installation.
        std::string name(index.Name(i));
        if (!IsSafeFileName(name))
            continue;
        SoftwareRecord& record = built.records.emplace_back();
        BuildRecord(values, std::move(name), base, record);
        if (values[RecordKey::Category].Present() && seenCategories.insert(record.category).second)
            built.categories.push_back(WideFromUtf8(record.category));
        if (settings && ApplyInstalledState(record, *settings))
            ++built.installed;
    }
    built.thumbnails = ThumbnailAddresses(built.records);
    return built;
}

std::vector<std::string> BuildCatalogue(LauncherState& state, const std::string& indexFile, CatalogueSink& sink)
{
    BuiltCatalogue built = ReadCatalogue(indexFile, sink.AllCategoriesText(), &state.m_settings);
    state.m_catalogue = std::move(built.records);
    state.m_categories = std::move(built.categories);
    state.m_catalogueExpires = built.expires;
    sink.SetInstalledCount(built.installed);
    return built.thumbnails;
}

void CarryOverThumbnails(std::vector<SoftwareRecord>& fresh, const std::vector<SoftwareRecord>& shown)
{
    std::map<std::string, const SoftwareRecord*> byAddress;
    for (const SoftwareRecord& record : shown)
        if (!record.thumbnailFile.empty())
            byAddress.emplace(record.thumbnailAddress, &record);
    for (SoftwareRecord& record : fresh) {
        const auto found = byAddress.find(record.thumbnailAddress);
        // Only a picture the fresh index vouches for in the same words stays.
        if (found == byAddress.end() || found->second->thumbnailCheck.sha256 != record.thumbnailCheck.sha256 ||
            found->second->thumbnailCheck.size != record.thumbnailCheck.size)
            continue;
        record.thumbnailFile = found->second->thumbnailFile;
        record.thumbnailLoaded = found->second->thumbnailLoaded;
        record.imageIndex = found->second->imageIndex;
    }
}

namespace {

/// The data folder's file of the n-th thumbnail address (from 1).
std::string ThumbnailFile(const LauncherState& state, size_t n)
{
    return Utf8FromWide(state.m_dataFolderW + L"img_sw_" + std::to_wstring(n) + L".png");
}

/// True when file is what check asks for: its SHA-256 (and size, when given).
bool LocalFileMatches(const std::string& file, const DownloadOptions& check)
{
    std::string digest;
    if (check.expectedSha256.empty() || !Sha256OfFile(WideFromUtf8(file), digest) ||
        !DigestMatchesHex(digest, check.expectedSha256))
        return false;
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(std::filesystem::path(WideFromUtf8(file)), error);
    return !error && (check.expectedSize < 0 || size == static_cast<uintmax_t>(check.expectedSize));
}

/// What each thumbnail address must match: the first record that shows it says.
std::map<std::string, FileCheck> ThumbnailChecks(const std::vector<SoftwareRecord>& records)
{
    std::map<std::string, FileCheck> checks;
    for (const SoftwareRecord& record : records)
        if (!record.thumbnailAddress.empty())
            checks.emplace(record.thumbnailAddress, record.thumbnailCheck);
    return checks;
}

/// The pictures the last run fetched for the stored list, where they are
/// still what its index names: with a digest only a file that matches it;
/// without one (no key) any file at the address's place.
void ApplyStoredThumbnails(const LauncherState& state, std::vector<SoftwareRecord>& records,
                           const std::vector<std::string>& addresses)
{
    const std::map<std::string, FileCheck> checks = ThumbnailChecks(records);
    for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string file = ThumbnailFile(state, i + 1);
        DownloadOptions checked;
        const auto check = checks.find(addresses[i]);
        if (check == checks.end() || !ApplyFileCheck(check->second, state.m_signaturesRequired, checked) ||
            !PathExists(WideFromUtf8(file)))
            continue;
        if (checked.expectedSha256.empty() || LocalFileMatches(file, checked))
            ApplyThumbnail(records, addresses[i], file);
    }
}

/// The index file's SHA-256, "" when it cannot be read.
std::string DigestOfFile(const std::string& path)
{
    std::string digest;
    return Sha256OfFile(WideFromUtf8(path), digest) ? digest : std::string();
}

} // namespace

std::string UnverifiedCatalogueText(const FetchOutcome& index, const FetchOutcome& repository)
{
    const FetchOutcome& refused = index.refused && !index.fresh ? index : repository;
    if (!refused.refused || refused.fresh)
        return "";
    std::string text = &refused == &index ? "Impossibile verificare l'elenco dei software: "
                                          : "Impossibile verificare l'elenco dei server: ";
    return text + (refused.usable ? "\xC3\xA8 mostrato l'ultimo elenco verificato."
                                  : "nessun elenco verificato da mostrare.");
}

std::string StaleCatalogueText(const FetchOutcome& index, const FetchOutcome& repository, const std::string& now)
{
    for (const FetchOutcome* outcome : {&index, &repository}) {
        if (!outcome->usable)
            continue;
        const std::string list = outcome == &index ? "l'elenco dei software" : "l'elenco dei server";
        if (!outcome->fresh)
            return "Impossibile aggiornare " + list + ": \xC3\xA8 mostrato l'ultimo elenco ricevuto.";
        if (CatalogueExpired(outcome->expires, now)) {
            std::string when = outcome->expires;
            if (IsExpiryText(when))
                when = when.substr(0, 10) + " " + when.substr(11, 5) + " UTC";
            std::string text = "L" + list.substr(1) + " \xC3\xA8 scaduto";
            // An expired index installs and updates nothing; the servers'
            // list only names where to look.
            return text + (IsExpiryText(outcome->expires) ? " il " + when : "") +
                   (outcome == &index ? ": nessun software pu\xC3\xB2 essere installato o aggiornato."
                                      : ": potrebbe non offrire gli ultimi aggiornamenti.");
        }
    }
    return "";
}

void LoadCatalogue(LauncherState& state, CatalogueSink& sink)
{
    // What a download or write cut by the end of the last run left is of no
    // use: nothing resumes across runs. The worker starts before anything
    // else of this run writes there.
    RemoveInterruptedTransfers(state.m_dataFolderW);
    const FetchBudget budget(state.m_catalogueFetchLimitMs);

    // With a root in server.dat the catalogue's keys come from the keys file
    // it signed: the one kept from the last run first, so that the last
    // verified list can show at once.
    const bool rooted = state.m_signaturesRequired && state.m_trust.rootNamed;
    if (rooted) {
        {
            std::lock_guard<std::mutex> hold(state.m_recordsLock);
            state.m_currentRoot = CurrentRoot(state.m_settings, state.m_trust.root);
        }
        state.m_keysUrl = KeysUrlOf(state.m_indexUrl);
        FetchOutcome storedKeys;
        KeysFile keys;
        std::string storedKeysFile;
        if (StoredCatalogueFileUsable("sw_keys", state, storedKeys, &storedKeysFile) &&
            ReadKeysFile(storedKeysFile, keys))
            state.m_onlineKeys = keys.online;
    }

    // The last verified list shows at once, before any request: a slow
    // server then keeps only the fresh list waiting, never the window empty.
    FetchOutcome storedIndex;
    std::string shownDigest;
    std::string stored;
    if (StoredCatalogueFileUsable("sw_index", state, storedIndex, &stored)) {
        shownDigest = DigestOfFile(stored);
        const size_t previousCount = state.m_catalogue.size();
        const std::vector<std::string> thumbnails = BuildCatalogue(state, stored, sink);
        ApplyStoredThumbnails(state, state.m_catalogue, thumbnails);
        if (state.m_catalogue.size() != previousCount)
            sink.RequestRefill();
        sink.CatalogueReady();
    }

    FetchOutcome keysOutcome;
    if (rooted) {
        const std::string keysFile = FetchCatalogueFile("sw_keys", state, sink, &keysOutcome, &budget);
        if (sink.Cancelled())
            return;
        // Without a keys file that passed, no online key is trusted.
        KeysFile keys;
        state.m_onlineKeys.clear();
        if (keysOutcome.usable && ReadKeysFile(keysFile, keys)) {
            state.m_onlineKeys = keys.online;
            if (keysOutcome.serial >= 0)
                sink.SerialAccepted(keysOutcome.serialName, keysOutcome.serial, keysOutcome.sha256);
            const bool rotated = !keys.nextRoot.Empty() && (keys.nextRoot.x != state.m_currentRoot.x ||
                                                             keys.nextRoot.y != state.m_currentRoot.y);
            if (rotated) {
                state.m_currentRoot = keys.nextRoot;
                sink.RootReplaced(RootSettingName(KeyFingerprint(state.m_trust.root)), keys.nextRootText);
            }
        }
    }

    FetchOutcome indexOutcome, repositoryOutcome;
    std::string indexFile = FetchCatalogueFile("sw_index", state, sink, &indexOutcome, &budget);
    if (sink.Cancelled())
        return;
    std::string repositoryFile = FetchCatalogueFile("sw_repo", state, sink, &repositoryOutcome, &budget);
    if (sink.Cancelled())
        return;
    // Nothing of a file that failed its checks is read.
    if (!indexOutcome.usable)
        indexFile.clear();
    if (!repositoryOutcome.usable)
        repositoryFile.clear();
    for (const FetchOutcome* outcome : {&indexOutcome, &repositoryOutcome}) {
        if (outcome->usable && outcome->serial >= 0)
            sink.SerialAccepted(outcome->serialName, outcome->serial, outcome->sha256);
        if (outcome->redirectSerial >= 0)
            sink.SerialAccepted(outcome->redirectSerialName, outcome->redirectSerial, outcome->redirectSha256);
    }

    LoadServers(state, repositoryFile, sink);
    sink.ServersReady();
    // The list shown is replaced only by one that differs from it.
    std::vector<std::string> thumbnails;
    std::map<std::string, FileCheck> checks;
    if (shownDigest.empty()) {
        const size_t previousCount = state.m_catalogue.size();
        thumbnails = BuildCatalogue(state, indexFile, sink);
        checks = ThumbnailChecks(state.m_catalogue);
        if (state.m_catalogue.size() != previousCount)
            sink.RequestRefill();
    } else if (indexFile.empty() || DigestOfFile(indexFile) != shownDigest) {
        // The shown list may be read on other threads: the window swaps in
        // the fresh one, with the installed state, on its own thread.
        BuiltCatalogue fresh = ReadCatalogue(indexFile, sink.AllCategoriesText(), nullptr);
        thumbnails = std::move(fresh.thumbnails);
        checks = ThumbnailChecks(fresh.records);
        if (!sink.ReplaceCatalogue(fresh.records, fresh.categories, fresh.expires)) {
            std::lock_guard<std::mutex> hold(state.m_recordsLock);
            int installed = 0;
            for (SoftwareRecord& record : fresh.records)
                installed += ApplyInstalledState(record, state.m_settings) ? 1 : 0;
            state.m_catalogue = std::move(fresh.records);
            state.m_categories = std::move(fresh.categories);
            state.m_catalogueExpires = fresh.expires;
            sink.SetInstalledCount(installed);
        }
        sink.RequestRefill();
    }

    const int total = static_cast<int>(thumbnails.size());
    sink.SetProgressRange(0, static_cast<unsigned short>(total));
    sink.CatalogueReady();

    SinkCancel cancel(sink);
    DownloadOptions thumbnailDownload;
    thumbnailDownload.maxBytes = kThumbnailLimit;
    thumbnailDownload.deadlineMs = kThumbnailDeadlineMs;
    thumbnailDownload.progress = &cancel;
    int i = 0;
    for (const std::string& address : thumbnails) {
        if (sink.Cancelled())
            return;
        ++i;
        DownloadOptions checked = thumbnailDownload;
        const auto check = checks.find(address);
        if (check == checks.end() || !ApplyFileCheck(check->second, state.m_signaturesRequired, checked)) {
            sink.SetProgressPos(i);
            continue;
        }
        sink.SetProgressPos(i - 1);
        std::string file = ThumbnailFile(state, static_cast<size_t>(i));
        // A picture already here with the digest the index names needs no request.
        if (LocalFileMatches(file, checked)) {
            sink.ThumbnailDownloaded(address, file);
            sink.SetProgressPos(i);
            continue;
        }
        sink.SetStatusText("Download thumbnails... " + std::to_string(i) + "/" + std::to_string(total));
        if (DownloadToFile(address, file, checked))
            sink.ThumbnailDownloaded(address, file);
        sink.SetProgressPos(i);
    }
    // The status line ends empty, or says that what is shown could not be
    // verified, refreshed, or has expired.
    std::string status = UnverifiedCatalogueText(indexOutcome, repositoryOutcome);
    if (status.empty() && (state.m_signaturesRequired || indexOutcome.outOfTime || repositoryOutcome.outOfTime))
        status = StaleCatalogueText(indexOutcome, repositoryOutcome, UtcNowText());
    // A keys file refused (a wrong signer, an old one replayed) says so
    // first: the keys in use are the last verified ones, or none.
    if (rooted && (!keysOutcome.usable || (keysOutcome.refused && !keysOutcome.fresh)))
        status = std::string("Impossibile verificare l'elenco delle chiavi (sw_keys.dat): ") +
                 (indexOutcome.usable ? "\xC3\xA8 mostrato l'ultimo elenco verificato." : "nessun elenco verificato da mostrare.");
    if (!state.m_trust.problem.empty())
        status = state.m_trust.problem;
    sink.SetStatusText(status);
    sink.SetProgressPos(0);
}
