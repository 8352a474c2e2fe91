// One program or dependency package of the software index, joined with its
// installed state from the settings store.
#pragma once

#include <cstdint>
#include <string>

/// What the index says a file beside the archive (thumbnail, change log)
/// must be: <KEY>_SHA256 and <KEY>_SIZE.
struct FileCheck {
    std::string sha256;     // 64 hex digits; "" when absent
    int64_t size = -1;      // bytes; -1 when absent
    bool malformed = false; // present but no digest or size: no file matches
};

struct SoftwareRecord {
    std::string name;              // section name, upper case
    std::string title;             // TITOLO
    std::string description;       // DESCR
    int availableBuild = 0;        // BUILD_DISP
    int type = 0;                  // SW_TYPE; 100 = dependency package
    std::string thumbnailAddress;  // base address + THUMB
    std::string thumbnailFile;     // local copy of the thumbnail, once downloaded
    bool thumbnailLoaded = false;  // set by the dialog once the picture is in its image list
    int imageIndex = 0;            // index in the dialog's image list
    int installedBuild = 0;        // VERSION of the installed state
    std::string installedFolder;   // PATH of the installed state
    std::string favourite;         // PREF of the installed state; not empty = favourite
    std::string downloadAddress;   // DOWNLOAD_FILE or derived
    std::string changelogAddress;  // base address + CHANGELOG_FILE
    std::string programToExecute;  // TO_EXECUTE
    std::string category;          // CAT
    std::string dependencies;      // DEPS, comma separated
    std::string archiveSha256;     // SHA256 of the archive, 64 hex digits; "" when absent
    int64_t archiveSize = -1;      // SIZE of the archive in bytes; -1 when absent
    bool archiveCheckMalformed = false; // SHA256 or SIZE present but no digest or size: no archive matches
    FileCheck thumbnailCheck;      // THUMB_SHA256, THUMB_SIZE
    FileCheck changelogCheck;      // CHANGELOG_SHA256, CHANGELOG_SIZE
    std::string entriesSha256;     // ENTRIES_SHA256 of the archive's entries file; "" when absent or malformed
    int64_t entriesSize = -1;      // ENTRIES_SIZE of the entries file in bytes; -1 when absent or malformed
};
