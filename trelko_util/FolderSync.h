// Bringing a program folder up to date from a zip archive: extract into a
// staging folder, then copy each file only when the destination lacks it,
// holds an older copy, or holds a same-time copy with other content.
#pragma once

#include "trelko_util/CopyDecision.h"
#include "trelko_util/SyncResult.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Copies one file into a folder, keeping attributes and last-write time and
/// overwriting read-only and hidden files.
class FileCopier {
public:
    virtual ~FileCopier() = default;
    /// workingFolder is where the copy runs.
    virtual bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) = 0;
};

/// How long a copy of size bytes may take before the copying process is
/// ended: base plus one millisecond per KiB (1 MB/s, far below any disk).
unsigned long CopyTimeLimitMs(unsigned long long size, unsigned long baseMs);

/// The time every copy may take besides its bytes: starting the copying
/// process on a loaded machine.
constexpr unsigned long kCopyBaseLimitMs = 60000;

/// True when the copying tool can handle path: xcopy refuses paths of
/// MAX_PATH characters or more (under Wine it hangs on them for good).
bool CopyToolTakesPath(const std::wstring& path);

/// Runs the system's xcopy once per file through the shell and checks its
/// exit code. The wait ends the process by its handle when stop becomes
/// non-zero or the copy outlasts CopyTimeLimitMs of the file's size.
class XcopyCopier : public FileCopier {
public:
    explicit XcopyCopier(const volatile long* stop = nullptr, unsigned long baseLimitMs = kCopyBaseLimitMs)
        : m_stop(stop), m_baseLimitMs(baseLimitMs)
    {
    }
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override;

private:
    const volatile long* m_stop;
    unsigned long m_baseLimitMs;
};

/// A step apart from the copy decision: a file whose installed size differs
/// from its entry's while the journal of a stopped installation shows it was
/// being copied is copied again, whatever its time says (a cut copy carries
/// the time it was cut, and would otherwise pose as newer for good).
bool CutCopyNeedsRedo(bool beingCopied, unsigned long long installedSize, unsigned long long entrySize);

/// A step apart from the copy decision, taken only when repairing: a file
/// whose installed size or CRC-32 differs from its entry's is copied again,
/// whatever its time says; a missing one is copied too.
bool RepairNeedsCopy(bool targetReadable, unsigned long long installedSize, uint32_t installedCrc,
                     unsigned long long entrySize, uint32_t entryCrc);

/// A copy stands only when the target has exactly its entry's size and
/// CRC-32: a copying process ended from outside may report success.
bool CopyMatchesEntry(const std::wstring& target, unsigned long long entrySize, uint32_t entryCrc);

/// One installation step: several archives into one folder, all or nothing.
struct SyncStep {
    std::vector<std::wstring> archives;
    std::wstring staging;
    std::wstring destination;
    bool compareContent = true;
    /// Copy again every file whose size or CRC-32 differs from its entry's.
    bool repair = false;
    /// Read between files (and by the copier during a copy); non-zero stops
    /// the step, which is then undone.
    const volatile long* stop = nullptr;
    /// Kept in the journal, so that whoever finds it pending can tell whether
    /// the step had been recorded (ConcludeStep).
    std::string tag;
    /// True: a step that succeeds leaves its journal for ConcludeStep, so the
    /// caller can record it first; false: it is concluded at once.
    bool leavePending = false;
    /// Told the index of each archive, in order, as its files' turn comes
    /// (archives with nothing to copy included).
    std::function<void(int)> onArchive;
};

/// Runs a step. One step at a time per staging folder: a step of another
/// process is waited for a few seconds, then Busy. A journal left by an
/// earlier step with the same staging folder is rolled back first (HeldOpen
/// when that cannot be completed), unless it waits for its caller's
/// conclusion (AwaitingConclusion) or is damaged (JournalDamaged): those are
/// left as they are. Refused before anything is touched: a staging or
/// destination argument that is
/// empty, a drive's root once its "\" is added, a drive without a folder
/// ("X:", "X:name") or a link; an archive the library would not accept
/// (failedArchive then says which); archives whose declared size does not fit
/// the free space of the staging and destination disks; a file about to be
/// replaced that is held open (CanReplaceNow); a path the copying tool cannot
/// handle (PathTooLong); a folder that becomes a file while it holds files
/// (FolderHoldsFiles). A file that becomes a folder, and an empty folder
/// that becomes a file, are set aside and put back like replaced files. Each replaced file's old copy
/// is kept beside staging and each copy checked against its entry's size and
/// CRC-32; any failure or a stop request puts every file back as it was.
SyncResult SynchroniseStep(const SyncStep& step, FileCopier& copier, int* failedArchive = nullptr);

/// Concludes the step left pending with staging: keep makes it stand, else it
/// is rolled back. True when no step is left pending afterwards (false for a
/// damaged journal, which is kept, and while another process runs a step).
bool ConcludeStep(const std::wstring& staging, bool keep);

/// True when a step is pending with staging (a damaged journal included),
/// with the tag it was given; false while another process runs a step.
bool PendingStep(const std::wstring& staging, std::string& tag);

/// One archive as one step, concluded at once; false at the first failure,
/// with the folder as it was.
bool UpdateFolderFromArchive(const std::wstring& archive, const std::wstring& staging,
                             const std::wstring& destination, bool compareContent, FileCopier& copier);

/// The staging subfolder an archive is extracted into: staging (with one
/// trailing "\") + the archive's file name without extension.
std::wstring ExtractionFolderFor(const std::wstring& archive, const std::wstring& staging);
