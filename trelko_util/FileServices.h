// How the synchronisation library sees files: the recursive listing, last-write
// time comparison, content fingerprints and folder creation. Paths are narrow
// strings in the ANSI code page.
#pragma once

#include <string>
#include <utility>
#include <vector>

/// (folder ending with "\", file name)
using ListedFile = std::pair<std::string, std::string>;

/// Adds the files of folder matching pattern to out, then, when recursive, those
/// of every subfolder, depth first. Names starting with "." are skipped, and so
/// is everything inside such a folder. Returns the number of files added.
int ListFiles(const std::string& folder, const std::string& pattern, bool recursive, std::vector<ListedFile>& out);

/// Local last-write time as 14 digits (YYYYMMDDhhmmss); "" when it cannot be read.
std::string LocalWriteTimeDigits(const std::string& path);

/// Seconds of source's last-write time minus target's, through the local
/// calendar, so sub-second differences count as equal.
long long CompareFileTimes(const std::string& source, const std::string& target);

/// "time|crc|size": local write time digits, CRC-32 and low 32 bits of the size.
std::string FileFingerprint(const std::string& path);

/// Creates path with every missing parent; true when it is a folder afterwards.
bool MakeFolderPath(const std::string& path);

bool IsFolder(const std::string& path);
/// True when the file opens for reading (sharing as a reader normally would).
bool CanOpenForReading(const std::string& path);
