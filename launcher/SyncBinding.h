// Binding of the synchronisation library trelko_util_r.dll, which may ship next
// to the launcher or in its "index_deps" folder.
#pragma once

#include <string>

/// On its first call in a process: puts the folder holding trelko_util_r.dll
/// (index_deps winning over the program folder) at the front of PATH.
void BindSyncLibrary(const std::string& fullProgramPath);

/// The folder BindSyncLibrary would choose for a program path, or "" when
/// neither candidate holds the library.
std::string FindSyncLibraryFolder(const std::string& fullProgramPath);

/// Signature of the library's one export.
using AggiornaFilesFn = bool(__cdecl*)(const char* archive, const char* staging,
                                       const char* destination, int compareContent);

/// The file LoadAggiornaFiles loads for a program path: the copy Windows'
/// search would find first among ours, by its full path (the one next to the
/// program, else the one in index_deps), so that no trelko_util_r.dll in the
/// current folder can take its place; empty when neither exists (nothing is
/// then loaded).
std::wstring SyncLibraryLoadPath(const std::wstring& fullProgramPath);

/// The export, loaded from SyncLibraryLoadPath at the first call and kept for
/// the life of the process. Null when the library or its export cannot be
/// loaded; error then says what failed.
AggiornaFilesFn LoadAggiornaFiles(std::wstring& error);

/// Brings folder up to date from archive through the library's export, with
/// content comparison. The UTF-8 paths are handed over in the ANSI code page
/// (their short form where it cannot spell them). On false, error says why
/// when the call could not be made at all; it stays empty when the library
/// itself reported the failure.
bool SynchroniseFolder(const std::string& archive, const std::string& staging, const std::string& folder,
                       std::wstring& error);
