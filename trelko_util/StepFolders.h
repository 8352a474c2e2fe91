// The folders of an installation step: whether a staging or destination
// argument names a folder of its own, whether the archives fit the free
// space, emptying the staging folder, the folders a copy adds or replaces,
// and the lock that lets one step at a time use a staging folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

/// Deletes every file below folder (which ends with "\\"), leaving the
/// subfolders; false at the first file that stays. A junction or link is
/// removed itself and never entered: what it points to lies outside staging.
/// One that cannot be removed fails the call, since extraction could write
/// through it.
bool EmptyFilesBelow(const std::wstring& folder);

/// Removes the (emptied) folders below folder, deepest first: an entry that
/// was a folder in the last extraction may be a file in this one.
void RemoveEmptiedFoldersBelow(const std::wstring& folder);

/// True when a staging or destination argument names a folder of its own:
/// not empty, not a drive's root once its "\\" is added, not "X:" or
/// "X:name" (which lean on the drive's current folder), no device form
/// (\\?\\, \\.\\) and not itself a link, whose target would be emptied or
/// written.
bool IsUsableFolderArgument(const std::wstring& argument);

/// Extraction writes declaredSize into staging, and copying may write as much
/// into the destination; a disk that holds both must hold both.
bool FitsFreeSpace(unsigned long long declaredSize, const std::wstring& staging, const std::wstring& destination);

/// The folders below destination that creating folder (below it) will add,
/// outermost first, relative to destination.
std::vector<std::wstring> MissingFolders(const std::wstring& destination, const std::wstring& folder);

/// True when folder holds nothing but empty folders; these are added to
/// emptyFolders (relative to the destination, deepest first). A link inside
/// counts as something held.
bool OnlyEmptyFolders(const std::wstring& folder, const std::wstring& relative,
                      std::vector<std::wstring>& emptyFolders);

/// One step at a time per staging folder, across processes: a lock file
/// beside it (the staging path + kStepLockSuffix), held open without sharing
/// for the step. The system lets it go with the process, however that ends.
class StepLock {
public:
    /// Waits up to waitMs while another holds the lock.
    StepLock(const std::wstring& staging, DWORD waitMs);
    ~StepLock();
    StepLock(const StepLock&) = delete;
    StepLock& operator=(const StepLock&) = delete;

    bool Held() const { return m_file != INVALID_HANDLE_VALUE; }
    /// True when another holds it (rather than the folder being unusable).
    bool Busy() const { return m_busy; }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    bool m_busy = false;
};

/// A step of another process is waited for this long; longer steps make the
/// second caller Busy rather than hang.
constexpr DWORD kStepLockWaitMs = 5000;
