// An installation step: the archives checked and extracted, the copies
// planned against the installed files, then made under the journal; and the
// conclusion of a step its caller left pending.
#include "trelko_util/FolderSync.h"

#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "trelko_util/Crc32.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/InstallJournal.h"
#include "trelko_util/StepFolders.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <map>
#include <memory>
#include <vector>

namespace {

struct PlannedCopy {
    std::wstring source;
    std::wstring targetFolder;
    std::wstring target;
    std::wstring relative; // target below the destination
    int archive = 0;       // index of the archive it comes from
    unsigned long long size = 0;
    uint32_t crc = 0;
};

uint32_t CrcOf(const std::wstring& path)
{
    zelto::ComputeCrc32 crc32;
    bool error = false;
    return crc32.FileCrc(path, error);
}

bool StopRequested(const volatile long* stop) { return stop && *stop != 0; }

} // namespace

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

    if (!IsFolderPath(staging)) {
        if (!CreateDirectoryW(staging.c_str(), nullptr))
            return SyncResult::CopyFailed;
    } else if (!EmptyFilesBelow(staging)) {
        return SyncResult::CopyFailed;
    }

    std::map<std::wstring, size_t, FileNameLess> planned; // target -> its place in plan
    std::vector<std::wstring> extractions;
    for (size_t i = 0; i < step.archives.size(); ++i) {
        // Two archives of one name (a package and a program) get folders of their own.
        std::wstring extraction = ExtractionFolderFor(step.archives[i], staging);
        for (const std::wstring& used : extractions)
            if (SameFileName(used, extraction))
                extraction += L"~" + std::to_wstring(i);
        extractions.push_back(extraction);
        RemoveEmptiedFoldersBelow(extraction);
        CUnzipper& unzipper = *checked[i];
        if (failedArchive)
            *failedArchive = static_cast<int>(i);
        if (!unzipper.UnzipTo(extraction))
            return SyncResult::ArchiveRefused;
        std::map<std::wstring, const ExtractedFile*, FileNameLess> entries;
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
        if (IsFolderPath(copy.target) && !OnlyEmptyFolders(copy.target, copy.relative, emptyFolders))
            return SyncResult::FolderHoldsFiles;
    }
    // Never half an update: a file that a running program holds would stop
    // the copies halfway, so nothing is copied. That includes a file that
    // becomes a folder.
    for (const PlannedCopy& copy : plan) {
        if (IsFilePath(copy.target) && !CanReplaceNow(copy.target))
            return SyncResult::HeldOpen;
        for (const std::wstring& folder : MissingFolders(destination, copy.targetFolder))
            if (IsFilePath(destination + L"\\" + folder) && !CanReplaceNow(destination + L"\\" + folder))
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
    std::map<std::wstring, int, FileNameLess> filesInTheWay; // files that become folders -> old copy number
    PathSet notedFolders;
    for (size_t i = 0; i < plan.size(); ++i) {
        const PlannedCopy& copy = plan[i];
        for (const std::wstring& folder : MissingFolders(destination, copy.targetFolder)) {
            // A file where the new build has a folder is set aside first.
            if (IsFilePath(destination + L"\\" + folder) && !filesInTheWay.count(folder))
                filesInTheWay[folder] = journal.NoteReplaced(folder);
            if (notedFolders.insert(folder).second)
                journal.NoteFolder(folder);
        }
        if (IsFolderPath(copy.target)) {
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
                if (inTheWay != filesInTheWay.end() && IsFilePath(destination + L"\\" + folder) &&
                    !journal.KeepOldCopy(folder, inTheWay->second))
                    return GetLastError() == ERROR_SHARING_VIOLATION ? SyncResult::HeldOpen : SyncResult::CopyFailed;
            }
            if (!IsFolderPath(copy.targetFolder) && !MakeFolderPath(copy.targetFolder))
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
    if (wasPending && journal.ReadPending(pending) && SameFileName(pending.destination, destination))
        suspects = pending.suspects;

    if (step.archives.empty())
        return SyncResult::ArchiveRefused;
    std::vector<PlannedCopy> plan;
    SyncResult result = PlanStep(step, staging, destination, suspects, plan, failedArchive);
    if (result != SyncResult::Done)
        return result;
    if (!IsFolderPath(destination) && !CreateDirectoryW(destination.c_str(), nullptr))
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
