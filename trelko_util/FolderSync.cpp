#include "trelko_util/FolderSync.h"

#include "trelko_util/Crc32.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/InstallJournal.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <shellapi.h>
#include <shlwapi.h>

#include <map>
#include <memory>
#include <vector>

namespace {

// Deletes every file below folder (which ends with "\"), leaving the
// subfolders; false at the first file that stays. A junction or link is
// removed itself and never entered: what it points to lies outside staging.
// One that cannot be removed fails the call, since extraction could write
// through it.
bool EmptyFilesBelow(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + name;
        const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            ok = isFolder ? RemoveDirectoryW(path.c_str()) != FALSE : DeleteFileW(path.c_str()) != FALSE;
        } else if (isFolder) {
            ok = EmptyFilesBelow(path + L"\\");
        } else {
            // Only the read-only mark stops a deletion; clearing attributes on
            // every file cost as much again as the deletions themselves.
            if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = DeleteFileW(path.c_str()) != FALSE;
        }
    } while (ok && FindNextFileW(find, &data));
    FindClose(find);
    return ok;
}

// Removes the (emptied) folders below folder, deepest first: an entry that
// was a folder in the last extraction may be a file in this one.
void RemoveEmptiedFoldersBelow(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        RemoveEmptiedFoldersBelow(folder + L"\\" + name);
        RemoveDirectoryW((folder + L"\\" + name).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

bool FullPathOf(const std::wstring& path, std::wstring& full)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    full.assign(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    return true;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A staging or destination argument must name a folder of its own. Emptying
// or filling a drive's root is never meant: "X:" becomes one once its "\" is
// added, and "X:" or "X:name" alone lean on the drive's current folder,
// which nobody chose. A folder that is itself a link would have its target
// emptied or written. Device forms (\\?\, \\.\) are no folders we make.
bool IsUsableFolderArgument(const std::wstring& argument)
{
    if (argument.empty())
        return false;
    if (argument.size() >= 2 && argument[1] == L':' && (argument.size() == 2 || !IsSeparator(argument[2])))
        return false;
    if (argument.size() >= 4 && IsSeparator(argument[0]) && IsSeparator(argument[1]) &&
        (argument[2] == L'?' || argument[2] == L'.') && IsSeparator(argument[3]))
        return false;
    std::wstring full;
    if (!FullPathOf(IsSeparator(argument.back()) ? argument : argument + L"\\", full) || PathIsRootW(full.c_str()))
        return false;
    while (!full.empty() && IsSeparator(full.back()))
        full.pop_back();
    DWORD attributes = GetFileAttributesW(full.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The disk a folder will be on, and its free bytes for this user; the folder
// may not exist yet, so its nearest existing ancestor is asked.
bool DiskOf(const std::wstring& folder, std::wstring& volume, unsigned long long& freeBytes)
{
    std::wstring existing;
    if (!FullPathOf(folder, existing))
        return false;
    while (!IsFolder(existing)) {
        size_t separator = existing.find_last_of(L"\\/");
        if (separator == std::wstring::npos || separator == 0)
            return false;
        existing.resize(separator);
        if (existing.size() == 2 && existing[1] == L':')
            existing += L'\\';
    }
    if (!IsSeparator(existing.back()))
        existing += L'\\';
    ULARGE_INTEGER available;
    wchar_t root[MAX_PATH];
    if (!GetDiskFreeSpaceExW(existing.c_str(), &available, nullptr, nullptr) ||
        !GetVolumePathNameW(existing.c_str(), root, MAX_PATH))
        return false;
    volume = root;
    freeBytes = available.QuadPart;
    return true;
}

// Extraction writes the declared size into staging, and copying may write as
// much into the destination; a disk that holds both must hold both.
bool FitsFreeSpace(unsigned long long declaredSize, const std::wstring& staging, const std::wstring& destination)
{
    std::wstring stagingDisk, destinationDisk;
    unsigned long long stagingFree = 0, destinationFree = 0;
    if (!DiskOf(staging, stagingDisk, stagingFree) || !DiskOf(destination, destinationDisk, destinationFree))
        return false;
    if (lstrcmpiW(stagingDisk.c_str(), destinationDisk.c_str()) == 0)
        return declaredSize <= stagingFree / 2;
    return declaredSize <= stagingFree && declaredSize <= destinationFree;
}

struct PlannedCopy {
    std::wstring source;
    std::wstring targetFolder;
    std::wstring target;
    std::wstring relative; // target below the destination
    int archive = 0;       // index of the archive it comes from
    unsigned long long size = 0;
    uint32_t crc = 0;
};

unsigned long long FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return ~0ULL;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint32_t CrcOf(const std::wstring& path)
{
    zelto::ComputeCrc32 crc32;
    bool error = false;
    return crc32.FileCrc(path, error);
}

bool StopRequested(const volatile long* stop) { return stop && *stop != 0; }

// The folders below destination that creating folder (below it) will add,
// outermost first, relative to destination.
std::vector<std::wstring> MissingFolders(const std::wstring& destination, const std::wstring& folder)
{
    std::vector<std::wstring> missing;
    std::wstring current = folder;
    while (current.size() > destination.size() && !IsFolder(current)) {
        missing.insert(missing.begin(), current.substr(destination.size() + 1));
        current.resize(current.find_last_of(L'\\'));
    }
    return missing;
}

// True when folder holds nothing but empty folders; these are added to
// emptyFolders (relative to the destination, deepest first). A link inside
// counts as something held.
bool OnlyEmptyFolders(const std::wstring& folder, const std::wstring& relative, std::vector<std::wstring>& emptyFolders)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    bool empty = true;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            empty = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    OnlyEmptyFolders(folder + L"\\" + name, relative + L"\\" + name, emptyFolders);
        } while (empty && FindNextFileW(find, &data));
        FindClose(find);
    }
    if (empty)
        emptyFolders.push_back(relative);
    return empty;
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// One step at a time per staging folder, across processes: a lock file
// beside it, held open without sharing for the step. The system lets it go
// with the process, however that ends.
class StepLock {
public:
    StepLock(const std::wstring& staging, DWORD waitMs)
    {
        std::wstring path = staging;
        while (!path.empty() && IsSeparator(path.back()))
            path.pop_back();
        path += L".lock";
        const ULONGLONG start = GetTickCount64();
        for (;;) {
            m_file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            const DWORD error = GetLastError();
            if (m_file != INVALID_HANDLE_VALUE)
                return;
            m_busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
            if (!m_busy || GetTickCount64() - start >= waitMs)
                return;
            Sleep(50);
        }
    }
    ~StepLock()
    {
        if (m_file != INVALID_HANDLE_VALUE)
            CloseHandle(m_file);
    }
    StepLock(const StepLock&) = delete;
    StepLock& operator=(const StepLock&) = delete;

    bool Held() const { return m_file != INVALID_HANDLE_VALUE; }
    /// True when another holds it (rather than the folder being unusable).
    bool Busy() const { return m_busy; }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    bool m_busy = false;
};

// A step of another process is waited for this long; longer steps make the
// second caller Busy rather than hang.
const DWORD kStepLockWaitMs = 5000;

} // namespace

unsigned long CopyTimeLimitMs(unsigned long long size, unsigned long baseMs)
{
    const unsigned long long limit = baseMs + size / 1024;
    return limit >= 0xFFFFFFFEULL ? 0xFFFFFFFEUL : static_cast<unsigned long>(limit);
}

bool CopyToolTakesPath(const std::wstring& path) { return path.size() < MAX_PATH; }

bool XcopyCopier::CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder)
{
    std::wstring parameters = L"/k /r /y /v /h \"" + file + L"\" \"" + folder + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = L"xcopy";
    info.lpParameters = parameters.c_str();
    info.lpDirectory = workingFolder.c_str();
    info.nShow = SW_MINIMIZE;
    if (!ShellExecuteExW(&info) || !info.hProcess)
        return false;
    const unsigned long long size = FileSizeOf(file);
    const ULONGLONG limit = CopyTimeLimitMs(size == ~0ULL ? 0 : size, m_baseLimitMs);
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(info.hProcess, 100) == WAIT_TIMEOUT) {
        if (StopRequested(m_stop) || GetTickCount64() - start >= limit) {
            // A copy that never ends (a path the tool chokes on, a stalled
            // disk) must not hold the step: the step is rolled back.
            TerminateProcess(info.hProcess, 1);
            WaitForSingleObject(info.hProcess, 10000);
            CloseHandle(info.hProcess);
            return false;
        }
    }
    DWORD exitCode = 1;
    bool ok = GetExitCodeProcess(info.hProcess, &exitCode) && exitCode == 0;
    CloseHandle(info.hProcess);
    return ok;
}

std::wstring ExtractionFolderFor(const std::wstring& archive, const std::wstring& staging)
{
    std::wstring folder = staging;
    if (folder.empty() || folder.back() != L'\\')
        folder += L'\\';
    size_t slash = archive.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? archive : archive.substr(slash + 1);
    size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos)
        name.resize(dot);
    return folder + name;
}

bool CutCopyNeedsRedo(bool beingCopied, unsigned long long installedSize, unsigned long long entrySize)
{
    return beingCopied && installedSize != entrySize;
}

bool RepairNeedsCopy(bool targetReadable, unsigned long long installedSize, uint32_t installedCrc,
                     unsigned long long entrySize, uint32_t entryCrc)
{
    return !targetReadable || installedSize != entrySize || installedCrc != entryCrc;
}

bool CopyMatchesEntry(const std::wstring& target, unsigned long long entrySize, uint32_t entryCrc)
{
    if (FileSizeOf(target) != entrySize)
        return false;
    zelto::ComputeCrc32 crc32;
    bool error = false;
    const uint32_t crc = crc32.FileCrc(target, error);
    return !error && crc == entryCrc;
}

namespace {

// Everything an archive step needs before its first copy: the archives
// checked and extracted, and the copies planned against the installed files.
SyncResult PlanStep(const SyncStep& step, const std::wstring& staging, const std::wstring& destination,
                    const PathSet& suspects, std::vector<PlannedCopy>& plan, int* failedArchive)
{
    unsigned long long declared = 0;
    // Each archive stays open from its check to its extraction: opened and
    // checked once, and what is extracted is what was checked.
    std::vector<std::unique_ptr<CUnzipper>> checked;
    for (size_t i = 0; i < step.archives.size(); ++i) {
        checked.push_back(std::make_unique<CUnzipper>());
        CUnzipper& unzipper = *checked.back();
        if (failedArchive)
            *failedArchive = static_cast<int>(i);
        if (!CanOpenForReading(step.archives[i]) || !unzipper.Open(step.archives[i]) || !unzipper.CheckEntries())
            return SyncResult::ArchiveRefused;
        declared += unzipper.DeclaredSize();
    }
    if (failedArchive)
        *failedArchive = -1;
    if (!FitsFreeSpace(declared, staging, destination))
        return SyncResult::NoSpace;

    if (!IsFolder(staging)) {
        if (!CreateDirectoryW(staging.c_str(), nullptr))
            return SyncResult::CopyFailed;
    } else if (!EmptyFilesBelow(staging)) {
        return SyncResult::CopyFailed;
    }

    std::map<std::wstring, size_t, PathLess> planned; // target -> its place in plan
    std::vector<std::wstring> extractions;
    for (size_t i = 0; i < step.archives.size(); ++i) {
        // Two archives of one name (a package and a program) get folders of their own.
        std::wstring extraction = ExtractionFolderFor(step.archives[i], staging);
        for (const std::wstring& used : extractions)
            if (lstrcmpiW(used.c_str(), extraction.c_str()) == 0)
                extraction += L"~" + std::to_wstring(i);
        extractions.push_back(extraction);
        RemoveEmptiedFoldersBelow(extraction);
        CUnzipper& unzipper = *checked[i];
        if (failedArchive)
            *failedArchive = static_cast<int>(i);
        if (!unzipper.UnzipTo(extraction))
            return SyncResult::ArchiveRefused;
        std::map<std::wstring, const ExtractedFile*, PathLess> entries;
        for (const ExtractedFile& file : unzipper.Extracted())
            entries[file.path] = &file;

        std::vector<ListedFile> files;
        std::wstring root = extraction + L"\\";
        ListFiles(root, L"*", true, files);
        for (const ListedFile& file : files) {
            std::wstring relative = file.first.substr(root.size()); // "" or "sub\dir\"
            PlannedCopy copy;
            copy.targetFolder =
                destination + (relative.empty() ? L"" : L"\\" + relative.substr(0, relative.size() - 1));
            copy.source = file.first + file.second;
            copy.target = copy.targetFolder + L"\\" + file.second;
            copy.relative = relative + file.second;
            copy.archive = static_cast<int>(i);
            auto entry = entries.find(copy.source);
            if (entry == entries.end())
                return SyncResult::CopyFailed;
            copy.size = entry->second->size;
            copy.crc = entry->second->crc;
            // A file an earlier archive of the step will copy is compared with
            // that copy, as if the archives were installed one after another.
            auto earlier = planned.find(copy.target);
            const std::wstring installed = earlier == planned.end() ? copy.target : plan[earlier->second].source;
            bool readable = CanOpenForReading(installed);
            // Each file's time is read once, for the comparison and for the
            // fingerprint. The extracted file's CRC-32 and size are its
            // entry's (extraction checked both), so only the installed file
            // is read for its fingerprint.
            const std::string sourceTime = readable ? LocalWriteTimeDigits(copy.source) : std::string();
            const std::string installedTime = readable ? LocalWriteTimeDigits(installed) : std::string();
            long long difference = readable ? CompareTimeDigits(sourceTime, installedTime) : 0;
            bool differ = readable && difference == 0 && step.compareContent &&
                          FingerprintText(sourceTime, copy.crc, static_cast<unsigned long>(copy.size)) !=
                              FingerprintText(installedTime, CrcOf(installed),
                                              static_cast<unsigned long>(FileSizeOf(installed)));
            bool copyIt = DecideCopy(readable, difference, step.compareContent, differ) == CopyDecision::Copy;
            if (!copyIt && readable && earlier == planned.end())
                copyIt = CutCopyNeedsRedo(suspects.count(copy.relative) > 0, FileSizeOf(installed), copy.size);
            if (!copyIt && step.repair)
                copyIt = RepairNeedsCopy(readable, readable ? FileSizeOf(installed) : 0,
                                         readable ? CrcOf(installed) : 0, copy.size, copy.crc);
            if (!copyIt)
                continue;
            if (earlier != planned.end()) {
                plan[earlier->second] = copy;
            } else {
                planned[copy.target] = plan.size();
                plan.push_back(copy);
            }
        }
    }
    if (failedArchive)
        *failedArchive = -1;
    for (const PlannedCopy& copy : plan)
        if (!CopyToolTakesPath(copy.source) || !CopyToolTakesPath(copy.target))
            return SyncResult::PathTooLong;
    // A folder that becomes a file goes only when it holds nothing: files
    // the archives do not name are never deleted.
    for (const PlannedCopy& copy : plan) {
        std::vector<std::wstring> emptyFolders;
        if (IsFolder(copy.target) && !OnlyEmptyFolders(copy.target, copy.relative, emptyFolders))
            return SyncResult::FolderHoldsFiles;
    }
    // Never half an update: a file that a running program holds would stop
    // the copies halfway, so nothing is copied. That includes a file that
    // becomes a folder.
    for (const PlannedCopy& copy : plan) {
        if (IsFile(copy.target) && !CanReplaceNow(copy.target))
            return SyncResult::HeldOpen;
        for (const std::wstring& folder : MissingFolders(destination, copy.targetFolder))
            if (IsFile(destination + L"\\" + folder) && !CanReplaceNow(destination + L"\\" + folder))
                return SyncResult::HeldOpen;
    }
    return SyncResult::Done;
}

// The planned copies, all noted in the journal before the first is made, each
// checked after; anything but Done leaves the journal to be rolled back.
SyncResult CopyPlanned(const SyncStep& step, const std::wstring& staging, const std::wstring& destination,
                       const std::vector<PlannedCopy>& plan, InstallJournal& journal, FileCopier& copier)
{
    std::vector<int> oldCopies; // per planned copy: the number of its old copy, 0 for none
    std::vector<std::vector<std::wstring>> emptyFolders(plan.size()); // per copy: folders it replaces
    std::map<std::wstring, int, PathLess> filesInTheWay; // files that become folders -> old copy number
    PathSet notedFolders;
    for (size_t i = 0; i < plan.size(); ++i) {
        const PlannedCopy& copy = plan[i];
        for (const std::wstring& folder : MissingFolders(destination, copy.targetFolder)) {
            // A file where the new build has a folder is set aside first.
            if (IsFile(destination + L"\\" + folder) && !filesInTheWay.count(folder))
                filesInTheWay[folder] = journal.NoteReplaced(folder);
            if (notedFolders.insert(folder).second)
                journal.NoteFolder(folder);
        }
        if (IsFolder(copy.target)) {
            OnlyEmptyFolders(copy.target, copy.relative, emptyFolders[i]);
            for (const std::wstring& folder : emptyFolders[i])
                journal.NoteRemovedFolder(folder);
            journal.NoteAdded(copy.relative);
            oldCopies.push_back(0);
        } else if (GetFileAttributesW(copy.target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            oldCopies.push_back(journal.NoteReplaced(copy.relative));
        } else {
            journal.NoteAdded(copy.relative);
            oldCopies.push_back(0);
        }
    }
    if (!journal.WriteNoted())
        return SyncResult::CopyFailed;

    int announced = 0; // archives announced to onArchive
    auto announceUpTo = [&](int last) {
        for (; announced <= last; ++announced)
            if (step.onArchive)
                step.onArchive(announced);
    };
    std::wstring readyFolder; // the last target folder known to exist
    for (size_t i = 0; i < plan.size(); ++i) {
        const PlannedCopy& copy = plan[i];
        if (StopRequested(step.stop))
            return SyncResult::Stopped;
        announceUpTo(copy.archive);
        // Files come folder by folder: each folder is looked at once.
        if (copy.targetFolder != readyFolder) {
            for (const std::wstring& folder : MissingFolders(destination, copy.targetFolder)) {
                auto inTheWay = filesInTheWay.find(folder);
                if (inTheWay != filesInTheWay.end() && IsFile(destination + L"\\" + folder) &&
                    !journal.KeepOldCopy(folder, inTheWay->second))
                    return GetLastError() == ERROR_SHARING_VIOLATION ? SyncResult::HeldOpen : SyncResult::CopyFailed;
            }
            if (!IsFolder(copy.targetFolder) && !MakeFolderPath(copy.targetFolder))
                return SyncResult::CopyFailed;
            readyFolder = copy.targetFolder;
        }
        for (const std::wstring& folder : emptyFolders[i])
            if (!RemoveDirectoryW((destination + L"\\" + folder).c_str()))
                return SyncResult::CopyFailed;
        if (oldCopies[i] != 0 && !journal.KeepOldCopy(copy.relative, oldCopies[i]))
            return GetLastError() == ERROR_SHARING_VIOLATION ? SyncResult::HeldOpen : SyncResult::CopyFailed;
        // Whatever the copying process says, the copy must be its entry.
        const bool copied = copier.CopyInto(copy.source, copy.targetFolder, staging);
        if (StopRequested(step.stop))
            return SyncResult::Stopped;
        if (!CopyMatchesEntry(copy.target, copy.size, copy.crc) || !copied)
            return SyncResult::CopyFailed;
    }
    announceUpTo(static_cast<int>(step.archives.size()) - 1);
    return SyncResult::Done;
}

std::wstring WithTrailingSeparator(std::wstring folder)
{
    if (folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

} // namespace

SyncResult SynchroniseStep(const SyncStep& step, FileCopier& copier, int* failedArchive)
{
    if (failedArchive)
        *failedArchive = -1;
    if (!IsUsableFolderArgument(step.staging) || !IsUsableFolderArgument(step.destination))
        return SyncResult::BadArguments;
    const std::wstring staging = WithTrailingSeparator(step.staging);
    std::wstring destination = step.destination;
    if (destination.back() == L'\\')
        destination.pop_back();

    StepLock lock(staging, kStepLockWaitMs);
    if (!lock.Held())
        return lock.Busy() ? SyncResult::Busy : SyncResult::CopyFailed;

    // Whatever an earlier step left half done is put back before anything
    // else touches a folder; a step its caller has still to conclude (it may
    // have recorded it) and a journal that cannot be trusted stay as they are.
    InstallJournal journal(staging);
    PendingJournal pending;
    const bool wasPending = journal.ReadPending(pending);
    if (wasPending && pending.damaged)
        return SyncResult::JournalDamaged;
    if (wasPending && pending.hasWork && pending.awaitsCaller)
        return SyncResult::AwaitingConclusion;
    if (wasPending && !journal.RollBack())
        return SyncResult::HeldOpen;
    PathSet suspects;
    if (wasPending && journal.ReadPending(pending) && lstrcmpiW(pending.destination.c_str(), destination.c_str()) == 0)
        suspects = pending.suspects;

    if (step.archives.empty())
        return SyncResult::ArchiveRefused;
    std::vector<PlannedCopy> plan;
    SyncResult result = PlanStep(step, staging, destination, suspects, plan, failedArchive);
    if (result != SyncResult::Done)
        return result;
    if (!IsFolder(destination) && !CreateDirectoryW(destination.c_str(), nullptr))
        return SyncResult::CopyFailed;
    if (plan.empty()) {
        for (size_t i = 0; i < step.archives.size() && step.onArchive; ++i)
            step.onArchive(static_cast<int>(i));
        return SyncResult::Done;
    }

    if (!journal.Begin(destination, step.tag, suspects, step.leavePending))
        return SyncResult::CopyFailed;
    result = CopyPlanned(step, staging, destination, plan, journal, copier);
    if (result != SyncResult::Done) {
        journal.RollBack();
        return result;
    }
    if (!step.leavePending)
        journal.Commit();
    return SyncResult::Done;
}

bool ConcludeStep(const std::wstring& staging, bool keep)
{
    StepLock lock(staging, kStepLockWaitMs);
    if (!lock.Held())
        return false;
    InstallJournal journal(staging);
    PendingJournal pending;
    if (!journal.ReadPending(pending))
        return true;
    if (keep && pending.hasWork)
        return journal.Commit();
    return journal.RollBack();
}

bool PendingStep(const std::wstring& staging, std::string& tag)
{
    tag.clear();
    // A step under way in another process is not pending: it concludes itself.
    StepLock lock(staging, 0);
    if (lock.Busy())
        return false;
    InstallJournal journal(staging);
    PendingJournal pending;
    if (!journal.ReadPending(pending) || !pending.hasWork)
        return false;
    tag = pending.tag;
    return true;
}

bool UpdateFolderFromArchive(const std::wstring& archive, const std::wstring& staging,
                             const std::wstring& destination, bool compareContent, FileCopier& copier)
{
    SyncStep step;
    step.archives.push_back(archive);
    step.staging = staging;
    step.destination = destination;
    step.compareContent = compareContent;
    return SynchroniseStep(step, copier) == SyncResult::Done;
}
