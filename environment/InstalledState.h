// Which programs are installed, at which build and where, and which are
// favourites: one section per program in the settings store, written and
// read here only.
#pragma once

#include "format/SoftwareRecord.h"
#include "store/KeyValueStore.h"

#include <functional>
#include <string>

enum class InstallStatus { NotInstalled, UpdateAvailable, UpToDate };

/// Not installed at build 0 or below; up to date at or above the available
/// build (no downgrade is offered); update available in between.
InstallStatus InstallState(const SoftwareRecord& record);

/// Joins a record with its installed state in the settings store: only a
/// section with a non-empty PATH counts; VERSION and PREF are taken with it.
/// Returns whether it is installed.
bool ApplyInstalledState(SoftwareRecord& record, const KeyValueStore& settings);

/// Whether the settings record program name at build with the installation
/// step step (RecordInstalled's VERSION and STEP).
bool InstalledStepRecorded(const KeyValueStore& settings, const std::string& name, const std::string& build,
                           const std::string& step);

/// Writes the settings store to the registry; true on success.
using SettingsSaver = std::function<bool()>;

/// After a successful installation: VERSION = available build, PATH = folder,
/// and STEP = the identity of the installation step (when given), which tells
/// a step found pending later whether it was this one. False when the
/// settings could not be saved: the record and the settings then hold what
/// they held before.
bool RecordInstalled(SoftwareRecord& record, const std::string& folder, KeyValueStore& settings,
                     const SettingsSaver& save, const std::string& step = std::string());
/// After an uninstall: VERSION "0", PATH empty; the section and PREF stay.
void RecordUninstalled(SoftwareRecord& record, KeyValueStore& settings, const SettingsSaver& save);
/// Marks ("Y") or unmarks ("") the program as a favourite.
void ToggleFavourite(SoftwareRecord& record, KeyValueStore& settings, const SettingsSaver& save);
