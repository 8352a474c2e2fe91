// How the synchronisation library sees files: the recursive listing, last-write
// time comparison, content fingerprints and folder creation. Paths are wide;
// the narrow ANSI form exists only at the export.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// (folder ending with "\", file name)
using ListedFile = std::pair<std::wstring, std::wstring>;

/// Adds the files of folder matching pattern to out, then, when recursive, those
/// of every subfolder, depth first. Names that are never installed (starting
/// with ".", IsNeverInstalledComponent) are skipped, and so is everything
/// inside such a folder. Returns the number of files added.
int ListFiles(const std::wstring& folder, const std::wstring& pattern, bool recursive, std::vector<ListedFile>& out);

/// Local last-write time as 14 digits (YYYYMMDDhhmmss); "" when it cannot be read.
std::string LocalWriteTimeDigits(const std::wstring& path);
/// A UTC file time as the 14 local digits; "" when it cannot be converted.
std::string LocalTimeDigits(const FILETIME& utc);

/// Seconds of source's last-write time minus target's, through the local
/// calendar, so sub-second differences count as equal.
long long CompareFileTimes(const std::wstring& source, const std::wstring& target);
/// The same difference between two times given as local digits.
long long CompareTimeDigits(const std::string& source, const std::string& target);

/// "time|crc|size": local write time digits, CRC-32 and low 32 bits of the size.
std::string FileFingerprint(const std::wstring& path);
/// The fingerprint text of a file with these digits, CRC-32 and size.
std::string FingerprintText(const std::string& timeDigits, uint32_t crc, unsigned long size);

/// Creates path with every missing parent; true when it is a folder afterwards.
bool MakeFolderPath(const std::wstring& path);

/// The size of the file at path; ~0 when it cannot be read.
unsigned long long FileSizeOf(const std::wstring& path);
/// True when the file opens for reading (sharing as a reader normally would).
bool CanOpenForReading(const std::wstring& path);
/// True when the existing file at path could be replaced now: it opens for
/// writing with no sharing, so no other program holds it open. A read-only
/// file (which the copy overwrites) is opened for reading with no sharing
/// instead, which still fails while anyone else has it open.
bool CanReplaceNow(const std::wstring& path);
