// The launcher's two roads besides its window: started as the setup program
// it installs itself for the user and starts from there; started with the
// list entry's command it removes itself.
#pragma once

#include "environment/InstalledState.h"
#include "environment/LauncherState.h"

#include <string>

/// Asks once, installs the setup program at setupPath (of build) in the
/// user's place and starts the launcher installed there.
void RunSetup(const std::wstring& setupPath, int build);

/// Asks, then removes the launcher running from programPath (its shortcut,
/// entry, registrations for programName, its files) and, when the user says
/// so, every program it installed. The folder itself goes only when it is
/// the setup's place, so a launcher kept elsewhere never takes its folder
/// with it.
void RunUninstall(LauncherState& state, const SettingsSaver& save, const std::wstring& programPath,
                  const std::wstring& programName);
