#include "catalogue/ServerChoice.h"

#include "store/KeyValueStore.h"

bool StoreServerChoice(const std::string& serverSettingsFile, const std::string& url)
{
    // The whole file is kept: entries below its tenth line are not dropped,
    // although start-up reads only the first ten.
    KeyValueStore settings;
    settings.LoadFile(serverSettingsFile);
    settings.SetValue("URL", url, "SERVER");
    return settings.SaveFile(serverSettingsFile);
}
