// The launcher's binding of the synchronisation library trelko_util_r.dll
// (found beside the program, else in its index_deps folder): the folder put
// on PATH, the export loaded by full path, and the installation steps run
// through it (synchronise, conclude, ask for a pending step).
#pragma once

#include "trelko_util/Exports.h"
#include "trelko_util/SyncResult.h"

#include <functional>
#include <string>
#include <vector>

/// On its first call in a process: puts the folder holding the library that
/// is loaded (SyncLibraryLoadPath) at the front of PATH.
void BindSyncLibrary(const std::string& fullProgramPath);

/// The folder BindSyncLibrary would choose for a program path, without a
/// trailing separator: the folder of SyncLibraryLoadPath, or "" when no
/// library would be loaded.
std::string FindSyncLibraryFolder(const std::string& fullProgramPath);

/// The file LoadAggiornaFiles loads for a program path: FindBesideProgram's
/// copy (the one next to the program, else the one in index_deps), by its
/// full path, so that no trelko_util_r.dll in the current folder can take its
/// place; empty when neither exists (nothing is then loaded).
std::wstring SyncLibraryLoadPath(const std::wstring& fullProgramPath);

/// The export, loaded from SyncLibraryLoadPath at the first call and kept for
/// the life of the process. Null when the library or its export cannot be
/// loaded; error then says what failed.
AggiornaFilesFn LoadAggiornaFiles(std::wstring& error);

/// How an installation step ended: the library's result, the index of an
/// archive it refused (-1 for none), and, when the library could not be
/// called at all, why (result CopyFailed then).
struct StepOutcome {
    SyncResult result = SyncResult::Done;
    int failedArchive = -1;
    std::wstring error;
};

/// Brings folder up to date from every archive as one step (aggiorna_passo),
/// with content comparison, and in repair mode copying again every file whose
/// size or CRC-32 differs from its entry. stop is read between files. A step
/// that returns Done stays pending, under tag, until ConcludeArchiveStep.
/// onArchive is told each archive's index as its files' turn comes.
StepOutcome SynchroniseArchives(const std::vector<std::string>& archives, const std::string& staging,
                                const std::string& folder, bool repair, const volatile long* stop,
                                const std::string& tag, const std::function<void(int)>& onArchive = nullptr);

/// Makes the pending step of staging stand (keep) or puts its folder back.
/// True when no step is left pending.
bool ConcludeArchiveStep(const std::string& staging, bool keep);

/// True when a step is pending with staging; tag is what it was given.
bool PendingArchiveStep(const std::string& staging, std::string& tag);
