// Updating an installed program by fetching only the archive records the
// update will copy: the maker's entries file maps the archive, the library's
// own copy rule picks the entries, and byte ranges fetch their records, which
// become a small archive of their own for the library. Whenever anything does
// not hold, the whole archive is fetched instead.
#pragma once

#include "format/ArchiveEntries.h"
#include "install/PartialRecords.h"
#include "install/Installer.h"

#include <cstdint>
#include <string>
#include <vector>

/// The requests that fetch records (ranges in any order): neighbours no more
/// than mergeGap bytes apart become one request, and while there are more
/// than maxRequests, the two with the smallest gap between them are joined.
/// Sorted by offset.
std::vector<ByteRange> PlanRequests(std::vector<ByteRange> records, uint64_t mergeGap, size_t maxRequests);

/// Bytes the requests fetch.
uint64_t RequestedBytes(const std::vector<ByteRange>& requests);

/// True when fetching requested bytes and the entries file is worth it
/// against the whole archive: together no more than half of it.
bool PartialFetchPays(uint64_t requested, uint64_t entriesFileSize, uint64_t archiveSize);

/// The entries an update of folder (wide, without trailing "\") would copy,
/// by the library's copy rule with content comparison, plus those whose name
/// (any letter case) is in alsoCopy: an archive synchronised before this one
/// may change what the rule sees. Folder entries and names with a component
/// beginning with "." are never copied. Empty, with whole set, when the map
/// cannot be followed entry by entry (two entries name one file).
std::vector<size_t> EntriesToCopy(const ArchiveEntries& entries, const std::wstring& folder,
                                  const std::vector<std::wstring>& alsoCopy, bool& whole);

/// True when folder (wide, without trailing "\") holds every file entry of
/// the map (those the library never lists aside) with the entry's size and
/// CRC-32, or newer than the entry (the library keeps such a file whichever
/// archive it is given): what the update left is the build the map describes.
bool FolderHoldsEntries(const ArchiveEntries& entries, const std::wstring& folder);

/// For an update of the program record, installed in folder (which exists),
/// whose section names an entries file: fetches the entries file (checked
/// against the index) and exactly the records the update will copy, checks
/// each record's SHA-256, and writes them as an archive at archivePath,
/// reporting the bytes fetched to the host's bar and status text. False, with
/// archivePath untouched, whenever the whole archive must be fetched instead:
/// no entries file in the index, a fresh install, an entries file or record
/// that fails its check, a server that does not answer ranges, or records
/// adding up to more than half the archive, or an entries file that does not
/// say what the archive's central directory says. earlierArchives are the
/// archives synchronised into the folder before this one. The records come
/// several ranges to a request; from a server that answers one range only,
/// one range to a request. On true, followed (when given) receives the
/// entries file, for FolderHoldsEntries once the update is made.
bool FetchChangedRecords(const SoftwareRecord& record, const std::string& folder,
                         const std::vector<std::string>& earlierArchives, const std::string& archivePath,
                         InstallHost& host, ArchiveEntries* followed = nullptr);
