// Files that one command writes together: each is written beside its target
// first, and all are moved into place only once every one is ready, so a
// command that is refused or fails half-way leaves the site as it was.
#pragma once

#include <string>
#include <vector>

class StagedFiles {
public:
    /// Files of the site folder site. Commit notes what it replaces in a
    /// journal there, so that a command ended half-way through it (killed,
    /// the power cut) is undone by Recover before the next one.
    explicit StagedFiles(const std::wstring& site);
    /// Removes whatever was staged and not put in place.
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    /// The journal's name in the site folder, while a Commit is under way.
    static const char kJournalName[]; // "publishing.journal"

    /// The file written beside target before it is put in place ("<target>.publishing").
    static std::wstring StagingPath(const std::wstring& target);

    /// Writes bytes beside target; false (error says why) when that fails.
    bool Stage(const std::wstring& target, const std::string& bytes, std::string& error);
    /// Takes a file the caller already wrote at StagingPath(target).
    void Adopt(const std::wstring& target);

    /// Puts every staged file in place, in the order staged. When one cannot
    /// be moved, the ones already moved get their previous content back (or
    /// go, when there was none) and error says what failed.
    bool Commit(std::string& error);

    /// Puts back what a Commit ended half-way left in site: every target as it
    /// was before, nothing staged left. True when nothing was left to undo or
    /// all of it was undone.
    static bool Recover(const std::wstring& site);

    /// Removes the staged files a command ended before its Commit left below
    /// site (a killed add's archive, which no journal names and a copy of
    /// the site would publish); their names below the site. Call after Recover.
    static std::vector<std::string> RemoveLeftovers(const std::wstring& site);

    /// For tests: Commit ends as a killed process would, after that many moves.
    int m_endAfterMoves = -1;

private:
    struct Entry {
        std::wstring target;
        std::wstring staged;
    };
    std::wstring m_site;
    std::vector<Entry> m_entries;
};
