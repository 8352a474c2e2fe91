// The journal of one installation step. Every file of the destination the
// step will replace or add, and every folder it will make, is noted, and the
// notes reach the disk in one write before the first change; each replaced
// file's old copy is then moved into the undo folder beside the staging
// folder (the same volume) just before its copy. Until the step is committed
// the journal can put the destination back as it was, file by file, whatever
// stopped the step: a refusal, a stop request, the end of the process or the
// machine going off.
#pragma once

#include "store/FileNames.h"

#include <windows.h>

#include <set>
#include <string>
#include <vector>

/// Relative paths, one per file as the file system tells files apart.
using PathSet = std::set<std::wstring, FileNameLess>;

/// What the staging folder's path (without its trailing "\") is followed by
/// to name the undo folder beside it.
constexpr wchar_t kUndoFolderSuffix[] = L".undo";
/// The journal's file name in the undo folder.
constexpr wchar_t kJournalFileName[] = L"journal.txt";
/// What the journal's name is followed by while it is rewritten.
constexpr wchar_t kJournalRewriteSuffix[] = L".new";
/// What the staging folder's path is followed by to name the lock file that
/// one step holds beside it.
constexpr wchar_t kStepLockSuffix[] = L".lock";

/// The undo folder of a staging folder: the staging path (without its trailing
/// "\") + kUndoFolderSuffix + "\". The journal is kJournalFileName in it.
std::wstring UndoFolderFor(const std::wstring& staging);

/// What a journal found on disk says.
struct PendingJournal {
    std::wstring destination;
    std::string tag;
    /// Files that were being copied when their old copy went missing: a cut
    /// copy may be left there (see CutCopyNeedsRedo).
    PathSet suspects;
    /// True when files or folders are still to be put back.
    bool hasWork = false;
    /// True when the step waits for its caller to conclude it (it may have
    /// recorded the step already): nobody else may roll it back.
    bool awaitsCaller = false;
    /// True when a line cannot be read, or the undo folder holds an old copy
    /// that no line names: nothing is put back or deleted, the step stays.
    bool damaged = false;
};

/// One line of a journal that changes the destination. kind: 'A' a file the
/// step adds, 'R' a file it replaces (its old copy is number, of size bytes),
/// 'D' a folder it makes, 'E' an empty folder it removes (a file takes its place).
struct JournalRecord {
    char kind = 0;
    int number = 0;
    long long size = 0;
    std::wstring relative;
};

/// A journal's text read into records; false for a line that cannot be read
/// (an unknown kind, an R line without its number and size, an empty name).
/// A last line without its line end was cut while being written: it is left out.
bool ParseJournal(const std::string& text, PendingJournal& pending, std::vector<JournalRecord>& records);

class InstallJournal {
public:
    explicit InstallJournal(const std::wstring& staging);
    ~InstallJournal();
    InstallJournal(const InstallJournal&) = delete;
    InstallJournal& operator=(const InstallJournal&) = delete;

    /// Reads the journal left on disk; false when there is none.
    bool ReadPending(PendingJournal& pending) const;
    /// Puts back everything the journal on disk records, newest first. True
    /// when nothing is left to undo (suspect lines are kept for the next step);
    /// false when a file could not be put back (it is held open): the journal
    /// then keeps what is left, for the next try.
    bool RollBack();
    /// The step stands: the journal and the old copies are removed.
    bool Commit();

    /// Starts the journal of a step on destination (no journal may be
    /// pending), carrying the suspects of an earlier one. awaitsCaller: the
    /// step, once done, waits for its caller's conclusion.
    bool Begin(const std::wstring& destination, const std::string& tag, const PathSet& suspects,
               bool awaitsCaller = false);
    /// Notes a folder (relative to the destination) the step will create.
    void NoteFolder(const std::wstring& relative);
    /// Notes a file the step will add where none is.
    void NoteAdded(const std::wstring& relative);
    /// Notes a file the step will replace; the number its old copy will have.
    int NoteReplaced(const std::wstring& relative);
    /// Notes an empty folder the step will remove to put a file in its place.
    void NoteRemovedFolder(const std::wstring& relative);
    /// Writes what was noted since the last call, flushed to the disk.
    bool WriteNoted();
    /// Moves the old copy of a noted file into the undo folder; false when it
    /// cannot be moved (the file then stays in place).
    bool KeepOldCopy(const std::wstring& relative, int number);
    /// True once Begin has written a journal in this run.
    bool Started() const { return m_file != INVALID_HANDLE_VALUE; }

private:
    /// Reads the journal and the undo folder into pending and records; false
    /// when there is no journal (or one whose header never reached the disk
    /// while no old copy was moved aside).
    bool Read(PendingJournal& pending, std::vector<JournalRecord>& records) const;
    bool Append(const std::string& line);
    void Close();

    std::wstring m_undo;
    std::wstring m_destination;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    int m_kept = 0;
    std::string m_noted;
};
