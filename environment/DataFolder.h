// What the launcher keeps in its data folder (%APPDATA%\<program name>\): the
// names of the start request and of each program's launch file, and how it
// tidies what an interrupted run left there.
#pragma once

#include <string>

/// The start request a second launcher (a double-clicked file, a protocol
/// link) leaves in the data folder for the running one.
extern const wchar_t* const kInvocationFileName; // L"invoke.morvindex"

/// The launch file a program is started with: dataFolder + NAME + "invoke.dat".
/// NAME is the program's name in upper case (ASCII letters), as the
/// catalogue's section names and the installed state hold it, so that one
/// program has one spelling of its file. dataFolder ends with a backslash.
std::wstring LaunchFilePath(const std::wstring& dataFolder, const std::string& name);

/// The data folder's caches of downloaded archives, each name with its
/// trailing backslash: dependency packages, and programs' own archives.
extern const char* const kDependencyCacheFolder;  // "deps\"
extern const char* const kProgramArchiveFolder;   // "apps_cache\"

/// Removes what interrupted downloads and writes left ("<file>.part",
/// "<file>.tmp") in the data folder and its deps and apps_cache folders, but
/// never a start request another process is writing. dataFolder ends with a
/// backslash.
void RemoveInterruptedTransfers(const std::wstring& dataFolder);
