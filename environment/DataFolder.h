// What the launcher keeps in its data folder (%APPDATA%\<program name>\) and
// how it tidies what an interrupted run left there.
#pragma once

#include <string>

/// Removes what interrupted downloads and writes left ("<file>.part",
/// "<file>.tmp") in the data folder and its deps and apps_cache folders, but
/// never a start request another process is writing. dataFolder ends with a
/// backslash.
void RemoveInterruptedTransfers(const std::wstring& dataFolder);
