// Putting a new launcher build in place of the running one as one step: the
// running program and its library are renamed aside (Windows lets a running
// .exe and a loaded .dll be renamed, not replaced), the new files moved in,
// and a journal in the program folder says at every moment how far the step
// went, so that a start after a kill or a power cut finishes it or undoes it.
#pragma once

#include <string>
#include <vector>

/// Names in the program folder that belong to the step.
extern const wchar_t* const kSwapJournalFile; // "~morvindex_swap.txt"
extern const wchar_t* const kSwapNewFolder;   // "~morvindex_new": the new build, unpacked
extern const wchar_t* const kSwapOldFolder;   // "~morvindex_old": the files set aside

/// How far a step went.
enum class SwapState {
    Moving, // files are being set aside and moved in: undo it
    Moved,  // every file is in place, the new build has not proved itself yet
    Proven, // the new build started, loaded its library and showed its window
};

/// One file of the step: its name in the new build's folder and the name it
/// takes in the program folder (the program takes the running one's name).
struct SwapFile {
    std::wstring source;
    std::wstring target;
};

struct SwapJournal {
    SwapState state = SwapState::Moving;
    int build = 0;    // the new build
    int previous = 0; // the build it replaces
    std::vector<SwapFile> files; // in the order they are moved; the program last
};

/// The journal's text, and back. Parse fails (false) on anything it did not write.
std::string FormatSwapJournal(const SwapJournal& journal);
bool ParseSwapJournal(const std::string& text, SwapJournal& journal);

/// The files of a launcher build, for a program folder whose running program
/// is called programFile: the pictures and the library first, the program last.
std::vector<SwapFile> LauncherSwapFiles(const std::wstring& programFile);

/// The step over programFolder (ends with a backslash), whose kSwapNewFolder
/// holds the new build.
class LauncherSwap {
public:
    explicit LauncherSwap(std::wstring programFolder);

    /// Reads the journal; false when there is none (or it is not ours).
    bool Load(SwapJournal& journal) const;

    /// Notes the step, sets each file aside and moves the new one in, then
    /// notes it Moved. False when a move failed: then everything is put back
    /// as it was and the journal is gone.
    bool Apply(const SwapJournal& step);

    /// Notes the step Proven. False when the journal cannot be written.
    bool MarkProven(SwapJournal journal);

    /// Puts back every file the step set aside, removes what it moved in and
    /// the journal. True when the previous build is whole again.
    bool Undo(const SwapJournal& journal);

    /// After a Proven step: removes the files set aside, the unpacked build
    /// and the journal. False when something is still held (the previous
    /// program may still be ending); the next start tries again.
    bool CleanUp();

    /// Removes an unpacked build that no journal refers to.
    void RemoveUnreferenced();

    /// For tests: Apply stops as a killed process would, leaving everything
    /// as it is, after that many moves (each file counts two: set aside,
    /// moved in), and returns false.
    int m_endAfterMoves = -1;

private:
    bool Write(const SwapJournal& journal);
    std::wstring m_folder;
};
