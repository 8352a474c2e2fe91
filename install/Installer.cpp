// The installation worker's road: downloads, the step through the library,
// the record in the installed state, and the pending step concluded.
#include "install/Installer.h"

#include "catalogue/CatalogueFiles.h"
#include "environment/DataFolder.h"
#include "environment/InstalledState.h"
#include "install/PartialUpdate.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "resources/resource.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "trelko_util/InstallJournal.h"
#include "trelko_util/Unzipper.h"

#include <boost/algorithm/string/split.hpp>

#include <atomic>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::atomic<bool> g_installBusy{false};

const SoftwareRecord* FindRecord(const LauncherState& state, const std::string& name)
{
    for (const SoftwareRecord& record : state.m_catalogue)
        if (record.name == name)
            return &record;
    return nullptr;
}

/// What an archive must match: the index's SIZE and SHA256 where it gives them.
DownloadOptions ArchiveDownload(const SoftwareRecord& record)
{
    DownloadOptions options;
    options.expectedSha256 = record.archiveSha256;
    options.expectedSize = record.archiveSize;
    options.deadlineMs = ArchiveDeadlineMs(record.archiveSize);
    return options;
}

/// With the maker's key an archive is taken only with its digest from the
/// signed index; a SHA256 or SIZE that is no digest or size matches nothing.
bool ArchiveCanBeChecked(const LauncherState& state, const SoftwareRecord& record)
{
    return !record.archiveCheckMalformed && (!state.m_signaturesRequired || !record.archiveSha256.empty());
}

/// The archive, once more when that fails (asking only for the rest where it
/// can), its bytes reported to progress; a download stopped on purpose is not
/// tried again.
bool DownloadArchive(const LauncherState& state, const SoftwareRecord& record, const std::string& path,
                     DownloadProgress& progress)
{
    if (!ArchiveCanBeChecked(state, record))
        return false;
    DownloadOptions options = ArchiveDownload(record);
    options.progress = &progress;
    return DownloadWithResume(record.downloadAddress, path, options);
}

/// Nothing is downloaded for an archive the signed index gives no digest for:
/// saying that a download failed would be untrue.
void RefuseUncheckedArchive(const std::string& name, InstallHost& host)
{
    host.SetStatusText("");
    host.Notify(FormatText(host.Text(IDS_ARCHIVE_UNCHECKED), WideFromUtf8(name)), L"Installazione");
}

void MakeFolders(const std::string& folder)
{
    std::error_code error;
    fs::create_directories(fs::path(WideFromUtf8(folder)), error);
}

/// The text of the download error box: what failed and the archive's path.
std::wstring DownloadErrorText(const std::string& what, const std::string& path)
{
    static const char kFormat[] = "Error downloading: %s\n%s";
    std::vector<char> text(sizeof kFormat + what.size() + path.size());
    snprintf(text.data(), text.size(), kFormat, what.c_str(), path.c_str());
    return WideFromUtf8(text.data());
}

std::string StagingFolder(const LauncherState& state) { return state.m_dataFolder + "morvindex_tmp"; }

/// What the user is told when a step failed: held files are the one case the
/// user can mend by closing the program.
unsigned SyncFailureText(SyncResult result)
{
    switch (result) {
    case SyncResult::HeldOpen:
        return IDS_SYNC_FAILED;
    case SyncResult::ArchiveRefused:
        return IDS_SYNC_REFUSED;
    case SyncResult::NoSpace:
        return IDS_SYNC_NO_SPACE;
    case SyncResult::Busy:
        return IDS_SYNC_BUSY;
    case SyncResult::PathTooLong:
        return IDS_SYNC_PATH_TOO_LONG;
    case SyncResult::FolderHoldsFiles:
        return IDS_SYNC_FOLDER_HOLDS_FILES;
    case SyncResult::AwaitingConclusion:
        // Concluding the earlier step failed: one of its files is held open.
        return IDS_SYNC_FAILED;
    default:
        return IDS_SYNC_COPY_FAILED;
    }
}

} // namespace

std::string NewStepIdentity()
{
    static std::atomic<unsigned> counter{0};
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    char text[64];
    snprintf(text, sizeof text, "%08lx%08lx-%lx-%x", static_cast<unsigned long>(now.dwHighDateTime),
             static_cast<unsigned long>(now.dwLowDateTime), static_cast<unsigned long>(GetCurrentProcessId()),
             counter.fetch_add(1));
    return text;
}

std::string InstallationTag(const std::string& name, int build, const std::string& step)
{
    return name + "=" + std::to_string(build) + ";" + step;
}

bool InstallationTagRecorded(const std::string& tag, const KeyValueStore& settings)
{
    // A tag without a step identity (an older launcher's) cannot tell a
    // repair from the update that was recorded: putting the folder back loses
    // nothing, keeping a half-done repair would.
    const size_t semicolon = tag.find(';');
    const size_t equals = tag.rfind('=', semicolon);
    if (semicolon == std::string::npos || equals == std::string::npos || equals == 0 || semicolon + 1 == tag.size())
        return false;
    const std::string name = tag.substr(0, equals);
    const std::string build = tag.substr(equals + 1, semicolon - equals - 1);
    if (build.empty() || build.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return InstalledStepRecorded(settings, name, build, tag.substr(semicolon + 1));
}

void ResolvePendingInstallation(const LauncherState& state)
{
    const std::string staging = StagingFolder(state);
    std::string tag;
    if (!PendingArchiveStep(staging, tag))
        return;
    bool recorded;
    {
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        recorded = InstallationTagRecorded(tag, state.m_settings);
    }
    ConcludeArchiveStep(staging, recorded);
}

bool OffersRepair(const SoftwareRecord& record)
{
    return record.installedBuild > 0 && record.availableBuild <= record.installedBuild;
}

std::vector<std::string> SplitDependencies(const std::string& deps)
{
    std::vector<std::string> names;
    if (deps.empty())
        return names;
    boost::algorithm::split(names, deps, [](char c) { return c == ','; });
    return names;
}

bool CachedArchiveUsable(const std::string& path, const std::string& sha256, int64_t size)
{
    const std::wstring file = WideFromUtf8(path);
    std::error_code error;
    const uintmax_t actual = fs::file_size(fs::path(file), error);
    if (error || actual < 10)
        return false;
    if (size >= 0 && actual != static_cast<uintmax_t>(size))
        return false;
    if (!sha256.empty()) {
        std::string digest;
        return Sha256OfFile(file, digest) && DigestMatchesHex(digest, sha256);
    }
    // No digest to compare it with: it must at least be an archive the library takes.
    return IsAcceptableArchive(file);
}

bool InstallBusy() { return g_installBusy.load(); }

namespace {

void RunInstallation(LauncherState& state, const std::string& name, InstallHost& host, bool repair)
{
    const SoftwareRecord* found = FindRecord(state, name);
    if (!found)
        return;
    // From a list past its EXPIRES nothing is fetched: it may be one an
    // attacker holds back, naming archives the maker has since withdrawn.
    const std::string outOfDate = CatalogueOutOfDateReason(state.m_signaturesRequired, state.m_catalogueExpires, UtcNowText());
    if (!outOfDate.empty()) {
        host.SetStatusText("");
        host.Notify(FormatText(FormatText(host.Text(IDS_CATALOGUE_OUT_OF_DATE), WideFromUtf8(name)),
                               WideFromUtf8(outOfDate)),
                    L"Installazione");
        return;
    }
    const size_t recordIndex = static_cast<size_t>(found - state.m_catalogue.data());
    const std::vector<std::string> dependencies = SplitDependencies(found->dependencies);
    const int n = static_cast<int>(dependencies.size());
    host.SetProgressRange(0, 2 * n + 2);
    int step = 0;
    auto progressStep = [&] { host.SetProgressPos(step++); };

    std::vector<std::string> archives;
    for (int i = 0; i < n; ++i) {
        const std::string& dependency = dependencies[static_cast<size_t>(i)];
        progressStep();
        host.SetStatusText("Download dependencies... " + std::to_string(i) + "/" + std::to_string(n));
        MakeFolders(state.m_dataFolder + kDependencyCacheFolder);
        std::string archive = state.m_dataFolder + kDependencyCacheFolder + dependency + ".zip";
        // A name that is no plain file name is as unknown as a missing one.
        const SoftwareRecord* package = IsSafeFileName(dependency) ? FindRecord(state, dependency) : nullptr;
        if (package && !ArchiveCanBeChecked(state, *package)) {
            RefuseUncheckedArchive(dependency, host);
            return;
        }
        // A cached package archive is used whatever build the index now
        // offers, as long as it is what the index describes.
        bool ok = package && ((ArchiveCanBeChecked(state, *package) &&
                               CachedArchiveUsable(archive, package->archiveSha256, package->archiveSize)) ||
                              DownloadArchive(state, *package, archive, host));
        if (!ok || host.Cancelled()) {
            if (!host.Cancelled())
                host.ShowDownloadError(DownloadErrorText(dependency, archive), L"Download");
            host.SetStatusText("");
            return;
        }
        archives.push_back(archive);
    }

    progressStep();
    host.SetStatusText("Download application... ");
    MakeFolders(state.m_dataFolder + kProgramArchiveFolder);
    std::string archive = state.m_dataFolder + kProgramArchiveFolder + name + ".zip";
    const std::string url = state.m_catalogue[recordIndex].downloadAddress;
    const std::string folder = state.m_dataFolder + "apps\\" + name;
    const std::string staging = StagingFolder(state);
    const SoftwareRecord& application = state.m_catalogue[recordIndex];
    if (!ArchiveCanBeChecked(state, application)) {
        RefuseUncheckedArchive(name, host);
        return;
    }
    // An update may fetch only the records it will copy; anything else takes
    // the whole archive. So does a repair, and a step whose journal is still
    // there: its copies to redo (a copy that was cut) are decided by the
    // library from the journal, which the records chosen here cannot know.
    PendingJournal pending;
    ArchiveEntries followed;
    const bool changedRecordsOnly = !repair && !InstallJournal(WideFromUtf8(staging)).ReadPending(pending) &&
                                    FetchChangedRecords(application, folder, archives, archive, host, &followed);
    auto downloadWhole = [&] {
        if (DownloadArchive(state, application, archive, host) && !host.Cancelled())
            return true;
        if (!host.Cancelled())
            host.ShowDownloadError(DownloadErrorText(url, archive), L"Download");
        return false;
    };
    if ((!changedRecordsOnly && !downloadWhole()) || host.Cancelled()) {
        host.SetStatusText("");
        return;
    }
    archives.push_back(archive);

    MakeFolders(folder);
    const int m = static_cast<int>(archives.size());
    const int build = state.m_catalogue[recordIndex].availableBuild;
    const std::string stepIdentity = NewStepIdentity();
    auto synchronise = [&] {
        return host.Synchronise(archives, staging, folder, repair, InstallationTag(name, build, stepIdentity), [&](int i) {
            progressStep();
            host.SetStatusText("Installing " + std::to_string(i) + "/" + std::to_string(m));
        });
    };
    StepOutcome outcome = synchronise();
    // An earlier step still waits for its conclusion (it could not be put
    // back or made to stand at start): conclude it by the registry, then go on.
    if (outcome.result == SyncResult::AwaitingConclusion) {
        ResolvePendingInstallation(state);
        outcome = synchronise();
    }
    // The changed records alone must leave the folder as the entries file
    // maps the build, every file it did not fetch included; when one differs
    // the step is put back and the whole archive makes it.
    if (outcome.result == SyncResult::Done && changedRecordsOnly &&
        !FolderHoldsEntries(followed, WideFromUtf8(folder))) {
        if (!host.ConcludeSynchronisation(staging, false)) {
            host.SetStatusText("");
            host.Notify(host.Text(IDS_SYNC_NOT_RECORDED), L"Installazione");
            return;
        }
        step -= m + 1;
        progressStep();
        host.SetStatusText("Download application... ");
        if (!downloadWhole()) {
            host.SetStatusText("");
            return;
        }
        outcome = synchronise();
    }
    host.SetStatusText("");
    if (outcome.result != SyncResult::Done) {
        // Only a package the library itself refuses is fetched anew next
        // time: other programs share the cached ones.
        if (outcome.result == SyncResult::ArchiveRefused && outcome.failedArchive >= 0 && outcome.failedArchive < n) {
            std::error_code error;
            fs::remove(fs::path(WideFromUtf8(archives[static_cast<size_t>(outcome.failedArchive)])), error);
        }
        if (outcome.result == SyncResult::JournalDamaged)
            host.Notify(FormatText(host.Text(IDS_SYNC_JOURNAL_DAMAGED), UndoFolderFor(WideFromUtf8(staging))),
                        L"Installazione");
        else if (outcome.result != SyncResult::Stopped)
            host.Notify(outcome.error.empty() ? host.Text(SyncFailureText(outcome.result)) : outcome.error,
                        L"Installazione");
        return;
    }

    SoftwareRecord& record = state.m_catalogue[recordIndex];
    bool recorded;
    {
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        recorded =
            RecordInstalled(record, folder, state.m_settings, [&host] { return host.SaveInstalledState(); }, stepIdentity);
    }
    // The old copies go only once the new build is recorded; a build that
    // cannot be recorded is put back.
    host.ConcludeSynchronisation(staging, recorded);
    if (!recorded) {
        host.Notify(host.Text(IDS_SYNC_NOT_RECORDED), L"Installazione");
        return;
    }
    host.RefillList();
    // Nobody is there to answer once the window has gone.
    if (record.programToExecute.empty() || host.WindowGone())
        return;
    std::string launchFile = Utf8FromWide(LaunchFilePath(state.m_dataFolderW, name));
    if (!PathExists(WideFromUtf8(launchFile)))
        launchFile.clear();
    if (host.AskYesNo(host.Text(IDS_START_QUESTION), host.Text(IDS_UPDATE_CAPTION))) {
        bool updateRequested = false;
        LaunchProgram(launchFile, name, state, host, updateRequested);
    }
}

} // namespace

void InstallOrUpdate(LauncherState& state, const std::string& name, InstallHost& host, bool repair)
{
    if (g_installBusy.exchange(true))
        return;
    struct ClearBusy {
        ~ClearBusy() { g_installBusy = false; }
    } clearBusy;
    // Nothing an archive, the disk or the network throws may end the program:
    // the installation simply failed, and the build stays as it was.
    try {
        RunInstallation(state, name, host, repair);
    } catch (const std::exception& error) {
        host.SetStatusText("");
        host.ShowDownloadError(L"Installazione non riuscita: " + WideFromUtf8(error.what()), L"Installazione");
    }
}
