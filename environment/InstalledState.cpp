#include "environment/InstalledState.h"

InstallStatus InstallState(const SoftwareRecord& record)
{
    if (record.installedBuild <= 0)
        return InstallStatus::NotInstalled;
    if (record.installedBuild >= record.availableBuild)
        return InstallStatus::UpToDate;
    return InstallStatus::UpdateAvailable;
}

bool RecordInstalled(SoftwareRecord& record, const std::string& folder, KeyValueStore& settings,
                     const SettingsSaver& save, const std::string& step)
{
    const SoftwareRecord before = record;
    const KeyValueStore settingsBefore = settings;
    settings.SetValue("VERSION", std::to_string(record.availableBuild), record.name);
    settings.SetValue("PATH", folder, record.name);
    if (!step.empty())
        settings.SetValue("STEP", step, record.name);
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
    settings.SetValue("VERSION", "0", record.name);
    settings.SetValue("PATH", "", record.name);
    record.installedBuild = 0;
    record.installedFolder.clear();
    save();
}

void ToggleFavourite(SoftwareRecord& record, KeyValueStore& settings, const SettingsSaver& save)
{
    record.favourite = record.favourite.empty() ? "Y" : "";
    settings.SetValue("PREF", record.favourite, record.name);
    save();
}
