// Packing a build folder into the zip archive the launcher installs: the
// library's name rules decide what may go in, and each entry carries its
// file's last-write time the way the library will restore it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct PackedFile {
    std::string name;  // entry name: UTF-8, "/" between folders
    std::wstring path; // the file on disk
    /// Where the file must open, every link followed: the build folder's
    /// own final path and the name ("" when the folder's was unknown). The
    /// packing refuses a file that opens anywhere else by then.
    std::wstring finalPath;
    FILETIME lastWrite = {};
    uint64_t size = 0;
};

struct FolderContent {
    std::vector<PackedFile> files;     // in byte order of their names
    std::vector<std::string> refused;  // one line per name the library would refuse
    std::vector<std::string> skipped;  // names beginning with "." (never installed)
};

/// Every file below folder, as archive entries.
FolderContent ListBuildFolder(const std::wstring& folder);

/// The DOS date (high word) and time (low word) of an entry that the library
/// extracts with the last-write time lastWrite: the UTC time seen in the
/// local time zone with the daylight-saving rule of its own date, in
/// two-second steps. False outside 1980-2107.
bool EntryDosTime(const FILETIME& lastWrite, unsigned long& dosDate);

/// Writes files into a new archive at path, names marked UTF-8. Each file is
/// opened once, without following a reparse point, and packed from that
/// handle only when the handle is a plain file at its finalPath: one made a
/// link since the folder was listed is refused. Its time and size are the
/// handle's. On failure error names the file and the archive may be left
/// half written.
bool WriteArchive(const std::wstring& path, const std::vector<PackedFile>& files, std::string& error);
