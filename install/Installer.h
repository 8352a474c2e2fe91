// Installing, repairing or updating a program to the build the index offers:
// its dependency archives (cached) and its own archive are downloaded and
// synchronised into the program's folder as one step, recorded in the
// installed state; a step a run left pending is concluded at the next start.
#pragma once

#include "install/Launch.h"
#include "environment/LauncherState.h"
#include "net/HttpTransfer.h"
#include "environment/SyncBinding.h"

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
    /// Brings the folder up to date from every archive as one step
    /// (SynchroniseArchives), stopping between files once cancelled; a step
    /// that succeeds stays pending under tag until ConcludeSynchronisation.
    virtual StepOutcome Synchronise(const std::vector<std::string>& archives, const std::string& staging,
                                    const std::string& folder, bool repair, const std::string& tag,
                                    const std::function<void(int)>& onArchive) = 0;
    /// Makes the pending step stand (keep) or puts the folder back.
    virtual bool ConcludeSynchronisation(const std::string& staging, bool keep) = 0;
};

/// A new identity for an installation step: the time, the process and a
/// counter, never the same twice.
std::string NewStepIdentity();

/// The tag an installation step of a program carries: "NAME=BUILD;STEP".
std::string InstallationTag(const std::string& name, int build, const std::string& step);

/// True when the step tagged tag was recorded: the settings store holds its
/// build as the program's VERSION and its identity as STEP. A pending step
/// found at start stands then, else it is rolled back: a repair or a
/// re-install of the recorded build is a step of its own, never recorded
/// before it ends.
bool InstallationTagRecorded(const std::string& tag, const KeyValueStore& settings);

/// At start, before anything touches a program's folder: an installation step
/// left pending in the data folder's staging (the process ended or the machine
/// went off) stands when it was recorded and is rolled back otherwise, whether
/// or not the staging folder itself is still there.
void ResolvePendingInstallation(const LauncherState& state);

/// True when "Installa/Aggiorna" offers to repair the record rather than
/// install or update it: it is installed and no newer build is on offer.
bool OffersRepair(const SoftwareRecord& record);

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
/// says why when one did not), then offers to start the program. The archives
/// are synchronised as one step: the folder holds the previous build or the
/// new one, never a mix. Once the host is cancelled it stops before the next
/// download, or between files of the step (which is then put back), silently
/// and recording nothing. With repair, every file whose size or CRC-32
/// differs from the archive is copied again.
void InstallOrUpdate(LauncherState& state, const std::string& name, InstallHost& host, bool repair = false);

/// True while InstallOrUpdate runs in this process.
bool InstallBusy();
