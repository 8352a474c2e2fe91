// The per-user proxy settings file %APPDATA%\zelto\qbmapproxy.config: a header
// line "[PROXY]" (active) or "[INACTIVE_PROXY]", then address, user name and
// password, one per line, UTF-8. Read here for the dialog and for the
// transfers' active proxy, and written here whole.
#pragma once

#include <string>

struct ProxySettings {
    bool active = false;
    std::string address;
    std::string user;
    std::string password;
};

/// Path of the settings file; its folder is created when missing.
std::string ProxyConfigPath();

/// The settings a file's text holds. Every line is trimmed; a line containing
/// "[PROXY]" starts an active block, "[INACTIVE_PROXY]" an inactive one (which
/// leaves the active flag as it was); each takes the next three lines, and a
/// later block replaces an earlier one.
ProxySettings ParseProxyConfig(const std::string& text);

/// The settings the file holds (the last block of either kind); none when
/// the file is missing. This is what the proxy dialog shows.
ProxySettings ReadProxyConfig();

/// Address, user name and password of the active block; all empty when the
/// file is missing or holds no active block.
ProxySettings ReadActiveProxy();

/// The file's text for settings (header, address, user, password, CR LF each).
std::string FormatProxyConfig(const ProxySettings& settings);

/// Writes the settings file for settings; false when it could not be written.
bool WriteProxyConfig(const ProxySettings& settings);
