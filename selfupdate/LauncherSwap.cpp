// The swap of the launcher's files as one journaled step, finished or
// undone at the next start.
#include "selfupdate/LauncherSwap.h"

#include "format/LauncherImage.h"
#include "store/AtomicFile.h"
#include "store/Text.h"
#include "trelko_util/StepFolders.h"

#include <windows.h>

#include <sstream>

const wchar_t* const kSwapJournalFile = L"~morvindex_swap.txt";
const wchar_t* const kSwapNewFolder = L"~morvindex_new";
const wchar_t* const kSwapOldFolder = L"~morvindex_old";

namespace {

const char kJournalHeader[] = "MORVINDEX-SWAP 1";

const char* StateName(SwapState state)
{
    switch (state) {
    case SwapState::Moving:
        return "MOVING";
    case SwapState::Moved:
        return "MOVED";
    default:
        return "PROVEN";
    }
}

bool Move(const std::wstring& from, const std::wstring& to)
{
    // Within one folder tree on one volume: a rename, never a copy.
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool ParseInt(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoi(text);
    return true;
}

// A name of the step: one plain file name, as we write them.
bool PlainName(const std::wstring& name)
{
    return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && name != L"." && name != L"..";
}

void RemoveFolder(const std::wstring& folder)
{
    // The folder itself may be a link: it goes, and what it leads to stays.
    // Below it, links are removed and never entered either.
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (!RemoveDirectoryW(folder.c_str()))
            DeleteFileW(folder.c_str());
        return;
    }
    EmptyFilesBelow(folder + L"\\");
    RemoveEmptiedFoldersBelow(folder);
    RemoveDirectoryW(folder.c_str());
}

} // namespace

std::string FormatSwapJournal(const SwapJournal& journal)
{
    std::string text = std::string(kJournalHeader) + "\n";
    text += std::string("STATE ") + StateName(journal.state) + "\n";
    text += "BUILD " + std::to_string(journal.build) + "\n";
    text += "PREVIOUS " + std::to_string(journal.previous) + "\n";
    for (const SwapFile& file : journal.files)
        text += "FILE " + Utf8FromWide(file.source) + "\t" + Utf8FromWide(file.target) + "\n";
    text += "END\n";
    return text;
}

bool ParseSwapJournal(const std::string& text, SwapJournal& journal)
{
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kJournalHeader)
        return false;
    SwapJournal read;
    bool state = false, build = false, previous = false, end = false;
    while (std::getline(lines, line)) {
        if (end)
            return false;
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (key == "STATE") {
            state = true;
            if (value == "MOVING")
                read.state = SwapState::Moving;
            else if (value == "MOVED")
                read.state = SwapState::Moved;
            else if (value == "PROVEN")
                read.state = SwapState::Proven;
            else
                return false;
        } else if (key == "BUILD") {
            build = ParseInt(value, read.build);
        } else if (key == "PREVIOUS") {
            previous = ParseInt(value, read.previous);
        } else if (key == "FILE") {
            const size_t tab = value.find('\t');
            if (tab == std::string::npos)
                return false;
            SwapFile file{WideFromUtf8(value.substr(0, tab)), WideFromUtf8(value.substr(tab + 1))};
            if (!PlainName(file.source) || !PlainName(file.target))
                return false;
            read.files.push_back(file);
        } else if (line == "END") {
            end = true;
        } else {
            return false;
        }
    }
    // A journal cut short is no journal: it is written whole or not at all,
    // so this is one we did not write.
    if (!state || !build || !previous || !end || read.files.empty())
        return false;
    journal = read;
    return true;
}

std::vector<SwapFile> LauncherSwapFiles(const std::wstring& programFile)
{
    std::vector<SwapFile> files;
    for (const wchar_t* picture : kLauncherPictures)
        files.push_back({picture, picture});
    files.push_back({kLauncherLibraryFile, kLauncherLibraryFile});
    files.push_back({kLauncherProgramFile, programFile});
    return files;
}

LauncherSwap::LauncherSwap(std::wstring programFolder) : m_folder(std::move(programFolder)) {}

bool LauncherSwap::Load(SwapJournal& journal) const
{
    std::string text;
    return ReadFileBytes(m_folder + kSwapJournalFile, text) && ParseSwapJournal(text, journal);
}

bool LauncherSwap::Write(const SwapJournal& journal)
{
    return ReplaceFileContent(m_folder + kSwapJournalFile, FormatSwapJournal(journal));
}

bool LauncherSwap::Apply(const SwapJournal& step)
{
    const std::wstring fresh = m_folder + kSwapNewFolder + L"\\";
    const std::wstring aside = m_folder + kSwapOldFolder + L"\\";
    SwapJournal journal = step;
    journal.state = SwapState::Moving;
    // The new files reach the disk before the journal names them: after a
    // power cut, a file renamed into place whose bytes were still in the
    // system's cache could start as garbage, with nothing left to undo it.
    for (const SwapFile& file : journal.files)
        if (!PathExists(fresh + file.source) || !FlushFileToDisk(fresh + file.source))
            return false;
    // Files a step that went before left aside are not ours to keep now.
    RemoveFolder(m_folder + kSwapOldFolder);
    if (!CreateDirectoryW((m_folder + kSwapOldFolder).c_str(), nullptr) || !Write(journal))
        return false;
    int moves = 0;
    auto allowed = [&] { return m_endAfterMoves < 0 || moves < m_endAfterMoves; };
    for (const SwapFile& file : journal.files) {
        const std::wstring target = m_folder + file.target;
        if (!allowed())
            return false;
        if (PathExists(target) && !Move(target, aside + file.target)) {
            Undo(journal);
            return false;
        }
        ++moves;
        if (!allowed())
            return false;
        if (!Move(fresh + file.source, target)) {
            Undo(journal);
            return false;
        }
        ++moves;
    }
    journal.state = SwapState::Moved;
    if (!Write(journal)) {
        Undo(journal);
        return false;
    }
    return true;
}

bool LauncherSwap::MarkProven(SwapJournal journal)
{
    journal.state = SwapState::Proven;
    return Write(journal);
}

bool LauncherSwap::Undo(const SwapJournal& journal)
{
    const std::wstring fresh = m_folder + kSwapNewFolder + L"\\";
    const std::wstring aside = m_folder + kSwapOldFolder + L"\\";
    // What was moved in goes back there, also when a cleaner removed it.
    CreateDirectoryW((m_folder + kSwapNewFolder).c_str(), nullptr);
    bool whole = true;
    // A file whose new copy is gone was moved in only when the step went that
    // far: it set this file aside, or a later one. Otherwise a cleaner took
    // the copy, and the file in place is still the previous build's.
    bool laterSetAside = false;
    // The program first: the previous build is startable again as soon as can be.
    for (auto file = journal.files.rbegin(); file != journal.files.rend(); ++file) {
        const std::wstring target = m_folder + file->target;
        const bool setAside = PathExists(aside + file->target);
        const bool movedIn = !PathExists(fresh + file->source) && (setAside || laterSetAside);
        laterSetAside = laterSetAside || setAside;
        if (movedIn && PathExists(target) && !Move(target, fresh + file->source))
            whole = false;
        if (setAside && !Move(aside + file->target, target))
            whole = false;
    }
    if (!whole)
        return false;
    DeleteFileW((m_folder + kSwapJournalFile).c_str());
    RemoveFolder(m_folder + kSwapOldFolder);
    RemoveFolder(m_folder + kSwapNewFolder);
    return true;
}

bool LauncherSwap::CleanUp()
{
    RemoveFolder(m_folder + kSwapOldFolder);
    RemoveFolder(m_folder + kSwapNewFolder);
    if (PathExists(m_folder + kSwapOldFolder))
        return false;
    DeleteFileW((m_folder + kSwapJournalFile).c_str());
    return true;
}

void LauncherSwap::RemoveUnreferenced()
{
    if (!PathExists(m_folder + kSwapJournalFile)) {
        RemoveFolder(m_folder + kSwapNewFolder);
        RemoveFolder(m_folder + kSwapOldFolder);
    }
}
