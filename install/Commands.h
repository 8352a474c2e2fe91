// The per-program commands of the main window besides launch and install:
// uninstall, open the folder, open a command prompt there, show the change log.
#pragma once

#include "environment/InstalledState.h"
#include "environment/LauncherState.h"
#include "net/HttpTransfer.h"

#include <cstdint>
#include <string>
#include <vector>

/// Invoke files that six known programs keep below %APPDATA%; an uninstall
/// removes them all, whichever program is uninstalled.
extern const char* const kKnownInvokeFiles[6][2];

/// The files an uninstall deletes, in order: every file below the installed
/// folder (never inside a folder link or junction, nor through an installed
/// folder that is one), the program's launch file, the known programs' invoke
/// files.
std::vector<std::wstring> UninstallFiles(const SoftwareRecord& record, const LauncherState& state);

/// Deletes the program's files (folders stay) and records it as not installed.
/// False when the program was not installed (nothing done).
bool Uninstall(SoftwareRecord& record, LauncherState& state, const SettingsSaver& save);

/// Opens the installed folder in the shell.
void OpenProgramFolder(const SoftwareRecord& record);
/// Opens a command prompt in the installed folder.
void OpenCommandPrompt(const SoftwareRecord& record);
/// Longest time a change log's transfer may take, whatever its pace.
constexpr unsigned long long kChangelogDeadlineMs = 120000;

/// Downloads the change log to data folder\changelog.txt and opens it.
/// False when it could not be fetched (or progress stopped it).
bool ShowChangelog(const SoftwareRecord& record, const LauncherState& state, DownloadProgress* progress = nullptr);
