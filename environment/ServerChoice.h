// Making another server of the repository the one the next start uses:
// server.dat written again, what start-up reads within its first lines.
#pragma once

#include <string>

/// Writes url as "URL" of section SERVER into the server settings file,
/// keeping everything else the file holds. False when it cannot be written.
bool StoreServerChoice(const std::string& serverSettingsFile, const std::string& url);
