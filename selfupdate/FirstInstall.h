// The first installation: the setup program, started under its own name from
// wherever the user saved it, puts the launcher in a folder of this user (no
// administrator rights), with a Start-menu shortcut and an entry in the
// user's list of installed applications, whose command removes it again.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

/// Where the launcher goes for this user.
struct InstallPlace {
    std::wstring folder;   // <LOCALAPPDATA>\Programs\MorvIndex\ .
    std::wstring program;  // folder + MorvIndex.exe
    std::wstring shortcut; // <Programs>\MorvIndex.lnk
};

/// The place for a user whose local application data folder is localAppData
/// and whose Start menu's Programs folder is programsFolder (neither ends
/// with a backslash).
InstallPlace InstallPlaceFor(const std::wstring& localAppData, const std::wstring& programsFolder);

/// The user's Start-menu Programs folder: knownPrograms, unless APPDATA in the
/// environment (appDataVariable) names another folder than the known roaming
/// one, as a test's or a redirected profile's does: then the Programs folder
/// below it, where Windows keeps it by default.
std::wstring ChooseProgramsFolder(const std::wstring& appDataVariable, const std::wstring& knownRoaming,
                                  const std::wstring& knownPrograms);

/// The place for the running user, from the environment and the known folders.
InstallPlace UserInstallPlace();

/// The entry below HKCU that lists the launcher among installed applications.
extern const wchar_t* const kUninstallEntryKey;
/// The flag of the entry's command: "MorvIndex.exe" /uninstall.
extern const wchar_t* const kUninstallFlag; // "uninstall"

/// One value of the entry: a string, or a DWORD when isNumber.
struct EntryValue {
    std::wstring name;
    std::wstring text;
    bool isNumber = false;
    DWORD number = 0;
};

/// The values of the entry for a launcher of build installed at place.
std::vector<EntryValue> UninstallEntryValues(const InstallPlace& place, int build);

/// True when the command line asks the launcher to remove itself.
bool AsksUninstall(const std::wstring& commandLine, const std::wstring& programPath);

/// Installs the setup program setupPath of build at place: its image as
/// MorvIndex.exe, the files it carries, the shortcut and the entry. Returns
/// "" or what failed; on failure nothing is left of what it wrote.
std::string InstallFromSetup(const std::wstring& setupPath, const InstallPlace& place, int build);

/// Removes the launcher installed at place: the shortcut, the entry, its
/// protocol and file-type registrations for programName, and every file of
/// the folder but the running program, which removeLater is asked to delete
/// with the folder once this process has ended.
void RemoveInstalledLauncher(const InstallPlace& place, const std::wstring& programName,
                             const std::function<void(const std::wstring& folder)>& removeLater);

/// Starts a command processor that removes folder a few seconds later, once
/// this process has ended.
void RemoveFolderAfterExit(const std::wstring& folder);
