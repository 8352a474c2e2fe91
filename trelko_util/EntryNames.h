// The names an archive may carry and a program may be started by: one plain
// relative path below the program's folder, and the names that are never
// installed. The library checks archive entries with these rules, the
// launcher the file it starts (which names an entry), the entries file
// reader every name it maps.
#pragma once

#include <cstddef>
#include <string>

/// The longest entry name, in bytes of UTF-8, for the whole name (every
/// component and separator), not per component: the library reads entry
/// names into a buffer of this size and refuses a longer one. It is not
/// Windows' MAX_PATH, which counts the whole joined path in UTF-16 units: the
/// folder a name is joined to adds its own length, so a name within this limit
/// can still make a path too long, and the folder update refuses such a copy
/// when it plans it (CopyToolTakesPath).
constexpr size_t kLongestEntryName = 260;

/// True when path (UTF-8, "\" or "/" between components) is one plain relative
/// path: at most kLongestEntryName bytes, and every component a plain file
/// name (IsSafeFileName: no "..", no drive, no device name, no trailing dot or
/// space). An empty component is refused, whether leading ("\evil"), doubled
/// ("a//b", which Windows opens as "a\b", so two spellings would be one file)
/// or trailing ("bin\").
bool IsPlainRelativePath(const std::string& path);

/// True when an entry name (UTF-8) can be written inside the extraction folder
/// as it is: a plain relative path, where a folder entry may end with one
/// separator ("sub/").
bool IsSafeEntryName(const std::string& name);

/// True when a relative name ("\" or "/" between folders) is never installed:
/// it, or a folder on its way, begins with "." (the folder update lists no
/// such file, so it would reach the staging folder and stop there).
bool IsNeverInstalledName(const std::wstring& name);

/// True when one component of a path (a file or folder name found in a
/// listing) is never installed: it begins with ".".
bool IsNeverInstalledComponent(const std::wstring& component);
