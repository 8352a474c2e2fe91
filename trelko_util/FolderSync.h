// Bringing a program folder up to date from one or more zip archives as one
// step, all or nothing: extract each into the staging folder, then copy each
// file only when the copy rules say so (CopyDecision.h), noting every change
// in the step's journal first so that a failure, a stop request or the end of
// the process puts the folder back as it was.
#pragma once

#include "trelko_util/CopyDecision.h"
#include "trelko_util/FileCopier.h"
#include "trelko_util/SyncResult.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
/// destination argument that is empty, a drive's root once its "\" is added,
/// a drive without a folder ("X:", "X:name") or a link; an archive the
/// library would not accept (failedArchive then says which); archives whose
/// declared size does not fit the free space of the staging and destination
/// disks; a file about to be replaced that is held open (CanReplaceNow); a
/// path the copying tool cannot handle (PathTooLong); a folder that becomes a
/// file while it holds files (FolderHoldsFiles). A file that becomes a
/// folder, and an empty folder that becomes a file, are set aside and put
/// back like replaced files. Each replaced file's old copy is kept beside
/// staging and each copy checked against its entry's size and CRC-32; any
/// failure or a stop request puts every file back as it was.
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
