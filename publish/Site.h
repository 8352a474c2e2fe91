// The folder a web server publishes at the index's BASE: where the catalogue
// files and archives lie in it, how an address of the index maps to it, when
// two entry names are one path on Windows, and when a file is dated ahead.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

constexpr char kIndexFile[] = "sw_index.dat";
constexpr char kRepositoryFile[] = "sw_repo.dat";
constexpr char kKeysFile[] = "sw_keys.dat";
constexpr char kSignatureSuffix[] = ".sig";

/// The site's file at a path relative to BASE ("/" between folders).
std::wstring SitePath(const std::wstring& site, const std::string& relative);

/// The archive's path below BASE as the launcher derives it from the section:
/// "NAME/NAME_<build>.zip" for a program, "deps/NAME.zip" for a package.
std::string DerivedArchivePath(const std::string& name, int build, bool package);

/// Where an address of the index lies in the site: true with the path below
/// BASE (percent escapes decoded) when it starts with base and stays inside.
bool AddressBelowBase(const std::string& address, const std::string& base, std::string& relative);

/// An entry or file name with "/" between its folders: the library takes "\\"
/// and "/" alike. Compare such names folded (FoldedFileName, store/FileNames.h).
std::string SlashedEntryName(std::string name);

/// True when text is a plain decimal number (digits only, at least one).
bool IsDecimal(const std::string& text);

/// True when a program's name is plain ASCII letters, digits, "_" and "-":
/// it goes into web addresses as it is.
bool IsPlainProgramName(const std::string& name);

/// Two entry names that Windows takes for one path, or for a file and a
/// folder of the same name ("x" and "X/y"), as "\"x\" and \"X/y\""; "" when none.
std::string CaseClash(const std::vector<std::string>& names);

/// True when a last-write time (FILETIME, UTC) lies after now.
bool InTheFuture(const FILETIME& time);

/// True when an archive entry's DOS date and time (high and low word), given
/// the last-write time the library gives it on extraction (EntryWriteTime:
/// local time under the daylight-saving rule of its own date), lies after now.
bool EntryDatedAfter(unsigned long dosDate, const FILETIME& now);
