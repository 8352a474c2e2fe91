// Files one command writes together: staged beside their targets, then moved
// into place under a journal in the site folder that Recover plays back after
// a command ended half-way.
#include "publish/StagedFiles.h"

#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <windows.h>

namespace {

bool MoveOver(const std::wstring& from, const std::wstring& to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

/// The site's folder with a separator after it: the journal and every target's prefix.
std::wstring SiteFolder(const std::wstring& site)
{
    std::wstring path = site;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    return path;
}

std::wstring JournalPath(const std::wstring& site) { return SiteFolder(site) + WideFromUtf8(StagedFiles::kJournalName); }

std::wstring PreviousPath(const std::wstring& target) { return target + L".previous"; }

// The journal names targets below the site by their relative paths (the site
// is published: no folder of the maker's machine is written into it), one a
// line, "+" before one that had a previous file and "-" before one that had none.
std::string RelativeToSite(const std::wstring& site, const std::wstring& target)
{
    const std::wstring prefix = SiteFolder(site);
    return Utf8FromWide(target.compare(0, prefix.size(), prefix) == 0 ? target.substr(prefix.size()) : target);
}

/// Removes every "<name>.publishing" below folder (links not entered) and
/// notes each by its name below the site.
void RemoveStagedBelow(const std::wstring& folder, const std::string& prefix, std::vector<std::string>& removed)
{
    static const std::wstring kSuffix = L".publishing";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::string relative = prefix + Utf8FromWide(name);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveStagedBelow(folder + L"\\" + name, relative + "/", removed);
        } else if (name.size() > kSuffix.size() &&
                   SameFileName(name.substr(name.size() - kSuffix.size()), kSuffix) &&
                   DeleteFileW((folder + L"\\" + name).c_str())) {
            removed.push_back(relative);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace

StagedFiles::StagedFiles(const std::wstring& site) : m_site(site) {}

StagedFiles::~StagedFiles()
{
    for (const Entry& entry : m_entries)
        DeleteFileW(entry.staged.c_str());
}

const char StagedFiles::kJournalName[] = "publishing.journal";

std::wstring StagedFiles::StagingPath(const std::wstring& target) { return target + L".publishing"; }

bool StagedFiles::Stage(const std::wstring& target, const std::string& bytes, std::string& error)
{
    const std::wstring staged = StagingPath(target);
    if (!ReplaceFileContent(staged, bytes)) {
        error = "cannot write " + Utf8FromWide(staged);
        return false;
    }
    m_entries.push_back({target, staged});
    return true;
}

void StagedFiles::Adopt(const std::wstring& target) { m_entries.push_back({target, StagingPath(target)}); }

bool StagedFiles::Commit(std::string& error)
{
    // The previous content of each target waits beside it until every file is in place.
    struct Moved {
        std::wstring target;
        std::wstring previous; // empty: there was no file
    };
    std::vector<Moved> moved;
    std::string journal;
    for (const Entry& entry : m_entries)
        DeleteFileW(PreviousPath(entry.target).c_str()); // left by a run that ended without a journal
    for (const Entry& entry : m_entries)
        journal += (IsFilePath(entry.target) ? "+" : "-") + RelativeToSite(m_site, entry.target) + "\n";
    if (!ReplaceFileContent(JournalPath(m_site), journal)) {
        error = "cannot write " + Utf8FromWide(JournalPath(m_site));
        return false;
    }
    bool ok = true;
    for (const Entry& entry : m_entries) {
        Moved done{entry.target, std::wstring()};
        if (IsFilePath(entry.target)) {
            done.previous = PreviousPath(entry.target);
            if (!CopyFileW(entry.target.c_str(), done.previous.c_str(), FALSE)) {
                error = "cannot keep a copy of " + Utf8FromWide(entry.target) + ": " + Win32ErrorText(GetLastError());
                ok = false;
                break;
            }
        }
        if (!MoveOver(entry.staged, entry.target)) {
            error = "cannot write " + Utf8FromWide(entry.target) + ": " + Win32ErrorText(GetLastError());
            if (!done.previous.empty())
                DeleteFileW(done.previous.c_str());
            ok = false;
            break;
        }
        moved.push_back(done);
        if (m_endAfterMoves >= 0 && moved.size() == static_cast<size_t>(m_endAfterMoves)) {
            m_entries.clear();
            return false;
        }
    }
    // Once every file is in place the step stands: the journal goes first, so
    // that an end before the previous copies are gone cannot undo it.
    if (ok)
        DeleteFileW(JournalPath(m_site).c_str());
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        if (ok) {
            if (!it->previous.empty())
                DeleteFileW(it->previous.c_str());
        } else if (!it->previous.empty()) {
            MoveOver(it->previous, it->target);
        } else {
            DeleteFileW(it->target.c_str());
        }
    }
    for (const Entry& entry : m_entries)
        DeleteFileW(entry.staged.c_str());
    m_entries.clear();
    if (!ok)
        DeleteFileW(JournalPath(m_site).c_str());
    return ok;
}

bool StagedFiles::Recover(const std::wstring& site)
{
    const std::wstring journalPath = JournalPath(site);
    std::string journal;
    if (!ReadFileBytes(journalPath, journal))
        return true;
    const std::wstring prefix = SiteFolder(site);
    bool ok = true;
    size_t start = 0;
    while (start < journal.size()) {
        size_t end = journal.find('\n', start);
        if (end == std::string::npos)
            end = journal.size();
        const std::string line = journal.substr(start, end - start);
        start = end + 1;
        if (line.size() < 2 || (line[0] != '+' && line[0] != '-'))
            continue;
        std::wstring target = WideFromUtf8(line.substr(1));
        if (target.size() < 2 || target[1] != L':')
            target = prefix + target;
        const std::wstring previous = PreviousPath(target);
        if (line[0] == '+') {
            // Its previous copy is there only once the commit came to it.
            if (IsFilePath(previous) && !MoveOver(previous, target))
                ok = false;
        } else if (IsFilePath(target) && !DeleteFileW(target.c_str())) {
            ok = false;
        }
        DeleteFileW(StagingPath(target).c_str());
    }
    if (ok)
        DeleteFileW(journalPath.c_str());
    return ok;
}

std::vector<std::string> StagedFiles::RemoveLeftovers(const std::wstring& site)
{
    std::wstring folder = site;
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    std::vector<std::string> removed;
    RemoveStagedBelow(folder, std::string(), removed);
    return removed;
}
