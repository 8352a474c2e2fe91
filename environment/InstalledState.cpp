// The installed state's keys (VERSION, PATH, PREF, STEP) written and read.
#include "environment/InstalledState.h"

#include "format/CatalogueFormat.h"

namespace {

// The keys of a program's section.
const char* const kBuildKey = "VERSION";
const char* const kFolderKey = "PATH";
const char* const kFavouriteKey = "PREF";
const char* const kStepKey = "STEP";

} // namespace

InstallStatus InstallState(const SoftwareRecord& record)
{
    if (record.installedBuild <= 0)
        return InstallStatus::NotInstalled;
    if (record.installedBuild >= record.availableBuild)
        return InstallStatus::UpToDate;
    return InstallStatus::UpdateAvailable;
}

bool ApplyInstalledState(SoftwareRecord& record, const KeyValueStore& settings)
{
    const KeyValueSection* state = settings.FindSection(record.name);
    if (!state)
        return false;
    auto path = state->Items().find(kFolderKey);
    if (path == state->Items().end() || path->second.empty())
        return false;
    record.installedFolder = path->second;
    auto version = state->Items().find(kBuildKey);
    if (version != state->Items().end())
        record.installedBuild = ParseNumber(version->second);
    auto favourite = state->Items().find(kFavouriteKey);
    if (favourite != state->Items().end())
        record.favourite = favourite->second;
    return true;
}

bool InstalledStepRecorded(const KeyValueStore& settings, const std::string& name, const std::string& build,
                           const std::string& step)
{
    return settings.GetValue(name, kBuildKey) == build && settings.GetValue(name, kStepKey) == step;
}

bool RecordInstalled(SoftwareRecord& record, const std::string& folder, KeyValueStore& settings,
                     const SettingsSaver& save, const std::string& step)
{
    const SoftwareRecord before = record;
    const KeyValueStore settingsBefore = settings;
    settings.SetValue(kBuildKey, std::to_string(record.availableBuild), record.name);
    settings.SetValue(kFolderKey, folder, record.name);
    if (!step.empty())
        settings.SetValue(kStepKey, step, record.name);
    record.installedBuild = record.availableBuild;
    record.installedFolder = folder;
    if (save())
        return true;
    // Never a build recorded later (at exit) over a folder put back.
    record = before;
    settings = settingsBefore;
    return false;
}

void RecordUninstalled(SoftwareRecord& record, KeyValueStore& settings, const SettingsSaver& save)
{
    settings.SetValue(kBuildKey, "0", record.name);
    settings.SetValue(kFolderKey, "", record.name);
    record.installedBuild = 0;
    record.installedFolder.clear();
    save();
}

void ToggleFavourite(SoftwareRecord& record, KeyValueStore& settings, const SettingsSaver& save)
{
    record.favourite = record.favourite.empty() ? "Y" : "";
    settings.SetValue(kFavouriteKey, record.favourite, record.name);
    save();
}
