// Files that one command writes together: each is written beside its target
// first, and all are moved into place only once every one is ready, so a
// command that is refused or fails half-way leaves the site as it was.
#pragma once

#include <string>
#include <vector>

class StagedFiles {
public:
    StagedFiles() = default;
    /// Removes whatever was staged and not put in place.
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

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

private:
    struct Entry {
        std::wstring target;
        std::wstring staged;
    };
    std::vector<Entry> m_entries;
};
