#include "publish/StagedFiles.h"

#include "store/AtomicFile.h"
#include "store/Text.h"

#include <windows.h>

namespace {

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MoveOver(const std::wstring& from, const std::wstring& to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

} // namespace

StagedFiles::~StagedFiles()
{
    for (const Entry& entry : m_entries)
        DeleteFileW(entry.staged.c_str());
}

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
    bool ok = true;
    for (const Entry& entry : m_entries) {
        Moved done{entry.target, std::wstring()};
        if (IsFile(entry.target)) {
            done.previous = entry.target + L".previous";
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
    }
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
    return ok;
}
