// Installing a program, or updating it to the build the index offers: its
// dependency archives (cached) and its own archive are downloaded and each is
// synchronised into the program's folder.
#pragma once

#include "install/Launch.h"
#include "launcher/LauncherState.h"
#include "net/HttpTransfer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// What an installation needs from the window besides starting programs. Its
/// downloads report their bytes to the host (Received, within the step last
/// set by SetProgressPos) and end once the host says Cancelled.
class InstallHost : public virtual LaunchHost, public DownloadProgress {
public:
    /// The range in steps: 0 .. 2 n + 2 for n dependencies.
    virtual void SetProgressRange(int low, int high) = 0;
    /// The step about to run: a download or a synchronisation.
    virtual void SetProgressPos(int position) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    /// "Error downloading" box: OK button, no icon.
    virtual void ShowDownloadError(const std::wstring& text, const std::wstring& caption) = 0;
    /// The list must show the new installed state.
    virtual void RefillList() = 0;
    /// Writes the settings store to the registry.
    virtual bool SaveInstalledState() = 0;
    /// Brings the folder up to date from the archive (aggiorna_files).
    virtual bool Synchronise(const std::string& archive, const std::string& staging, const std::string& folder) = 0;
};

/// DEPS split at every "," with nothing trimmed; "" gives no names.
std::vector<std::string> SplitDependencies(const std::string& deps);

/// True when a cached archive may be used instead of a download: it holds at
/// least 10 bytes and matches size and sha256 (64 hex digits) where they are
/// given (-1, ""); without a digest it must open as an archive the library
/// accepts.
bool CachedArchiveUsable(const std::string& path, const std::string& sha256 = std::string(), int64_t size = -1);

/// Installs or updates the first record named name. Does nothing while another
/// installation runs or when the name is unknown. Reports downloads that fail
/// twice, records the new build only when every archive synchronised (and
/// says when one did not), then offers to start the program. Once the host is
/// cancelled it stops before the next download or before synchronising,
/// silently and recording nothing; synchronisations once begun are finished
/// and recorded, so the folder and its recorded build always agree.
void InstallOrUpdate(LauncherState& state, const std::string& name, InstallHost& host);

/// True while InstallOrUpdate runs in this process.
bool InstallBusy();
