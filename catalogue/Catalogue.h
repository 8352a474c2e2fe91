// The catalogue worker: the index and repository files turned into the
// catalogue, the category list and the server list, joined with the installed
// state of each program, and the thumbnails fetched; the status line's words
// for a list that could not be verified, refreshed, or has expired.
#pragma once

#include "catalogue/CatalogueFiles.h"
#include "catalogue/CatalogueSink.h"
#include "format/SoftwareRecord.h"
#include "environment/InstalledState.h"
#include "environment/LauncherState.h"
#include "net/HttpTransfer.h"

#include <cstdint>
#include <string>
#include <vector>

/// Longest time one thumbnail's transfer may take, whatever its pace.
constexpr unsigned long long kThumbnailDeadlineMs = 60000;

/// Sets what a thumbnail or change log must match; false when it must not
/// be fetched at all: its check is malformed, or a key asks for signatures
/// and the index gives no SHA256 for it.
bool ApplyFileCheck(const FileCheck& check, bool signaturesRequired, DownloadOptions& options);

/// Stores file as the thumbnail of every record whose address is address.
void ApplyThumbnail(std::vector<SoftwareRecord>& catalogue, const std::string& address, const std::string& file);

/// Reads the repository file into the server list and the server combo,
/// selecting the server whose address is the index URL in use.
void LoadServers(LauncherState& state, const std::string& repositoryFile, CatalogueSink& sink);

/// What an index file makes: the records, the category list (entry 0 the
/// "all categories" text), how many are installed, the distinct thumbnail
/// addresses in ascending byte order, and the index's [PATHS] EXPIRES.
struct BuiltCatalogue {
    std::vector<SoftwareRecord> records;
    std::vector<std::wstring> categories;
    int installed = 0;
    std::vector<std::string> thumbnails;
    std::string expires;
};

/// Reads an index file; with settings, joins each record with its installed state.
BuiltCatalogue ReadCatalogue(const std::string& indexFile, const std::wstring& allCategories,
                             const KeyValueStore* settings);

/// Reads the index file into the catalogue and category list, with installed
/// state. Returns the distinct thumbnail addresses in ascending byte order.
std::vector<std::string> BuildCatalogue(LauncherState& state, const std::string& indexFile, CatalogueSink& sink);

/// Gives the records of a fresh catalogue the pictures already loaded for
/// the records shown, where the thumbnail's address and check are the same.
void CarryOverThumbnails(std::vector<SoftwareRecord>& fresh, const std::vector<SoftwareRecord>& shown);

/// The status line after a load in which a catalogue file was refused (its
/// signature or SERIAL failed) and no fresh one replaced it: which list could
/// not be verified, and whether the last verified one is shown. "" otherwise.
std::string UnverifiedCatalogueText(const FetchOutcome& index, const FetchOutcome& repository);

/// With the maker's key, the status line after a load whose files passed:
/// which list could not be refreshed (the last one received is shown), or
/// has expired by now (UtcNowText form). "" when both are fresh and current.
std::string StaleCatalogueText(const FetchOutcome& index, const FetchOutcome& repository, const std::string& now);

/// The catalogue worker's whole job: show the last verified list (with its
/// pictures) at once, fetch both files within the start's one time limit,
/// fill the server combo and list, build the catalogue and categories (or
/// hand a fresh one to the window in place of the one shown), then fetch
/// the thumbnails.
void LoadCatalogue(LauncherState& state, CatalogueSink& sink);
