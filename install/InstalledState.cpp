#include "install/InstalledState.h"

InstallStatus InstallState(const SoftwareRecord& record)
{
    if (record.installedBuild <= 0)
        return InstallStatus::NotInstalled;
    if (record.installedBuild >= record.availableBuild)
        return InstallStatus::UpToDate;
    return InstallStatus::UpdateAvailable;
}

void RecordInstalled(SoftwareRecord& record, const std::string& folder, KeyValueStore& settings,
                     const SettingsSaver& save)
{
    settings.SetValue("VERSION", std::to_string(record.availableBuild), record.name);
    settings.SetValue("PATH", folder, record.name);
    record.installedBuild = record.availableBuild;
    record.installedFolder = folder;
    save();
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
