#include "trelko_util/InstallJournal.h"

#include "trelko_util/FileServices.h"

#include <algorithm>
#include <sstream>

namespace {

const char kHeader[] = "MORVINDEX-JOURNAL 1";

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A read-only file (xcopy keeps the archive's attributes) must be made
// writable before it can go.
bool RemoveFile(const std::wstring& path)
{
    if (!Exists(path))
        return true;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != FALSE;
}

long long SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<long long>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool ReadLines(const std::wstring& path, std::vector<std::string>& lines)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string text;
    char block[4096];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0)
        text.append(block, got);
    CloseHandle(file);
    std::istringstream stream(text);
    std::string line;
    lines.clear();
    while (std::getline(stream, line))
        lines.push_back(line);
    // A line the machine going off cut short has no line end: it is not there.
    if (!text.empty() && text.back() != '\n' && !lines.empty())
        lines.pop_back();
    return !lines.empty() && lines[0] == kHeader;
}

bool WriteWhole(HANDLE file, const std::string& text)
{
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && FlushFileBuffers(file);
}

// Replaces the journal with lines in one step: a sibling file, flushed, renamed over it.
bool RewriteJournal(const std::wstring& journal, const std::vector<std::string>& lines)
{
    const std::wstring sibling = journal + L".new";
    HANDLE file = CreateFileW(sibling.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    const bool written = WriteWhole(file, text);
    CloseHandle(file);
    if (written && MoveFileExW(sibling.c_str(), journal.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(sibling.c_str());
    return false;
}

// Removes the files of the undo folder (old copies of a finished step).
void EmptyFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            RemoveFile(folder + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

} // namespace

std::wstring UndoFolderFor(const std::wstring& staging)
{
    std::wstring folder = staging;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return folder + L".undo\\";
}

InstallJournal::InstallJournal(const std::wstring& staging) : m_undo(UndoFolderFor(staging)) {}

InstallJournal::~InstallJournal() { Close(); }

void InstallJournal::Close()
{
    if (m_file != INVALID_HANDLE_VALUE)
        CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

bool InstallJournal::ReadPending(PendingJournal& pending) const
{
    std::vector<std::string> lines;
    if (!ReadLines(m_undo + L"journal.txt", lines))
        return false;
    pending = PendingJournal();
    for (const std::string& line : lines) {
        if (line.size() < 2 || line[1] != ' ')
            continue;
        const std::string value = line.substr(2);
        if (line[0] == 'P')
            pending.destination = Wide(value);
        else if (line[0] == 'T')
            pending.tag = value;
        else if (line[0] == 'S')
            pending.suspects.insert(Wide(value));
        else if (line[0] == 'A' || line[0] == 'R' || line[0] == 'D')
            pending.hasWork = true;
    }
    return true;
}

bool InstallJournal::RollBack()
{
    Close();
    const std::wstring journal = m_undo + L"journal.txt";
    std::vector<std::string> lines;
    if (!ReadLines(journal, lines)) {
        // No journal, or one whose header never reached the disk: nothing was
        // touched before the header, so nothing is to be put back.
        RemoveFile(journal);
        return true;
    }
    std::wstring destination;
    for (const std::string& line : lines)
        if (line.compare(0, 2, "P ") == 0)
            destination = Wide(line.substr(2));
    std::vector<std::string> left, suspects;
    for (size_t i = lines.size(); i-- > 1;) {
        const std::string& line = lines[i];
        if (line.size() < 2 || line[1] != ' ' || destination.empty())
            continue;
        std::istringstream fields(line.substr(2));
        if (line[0] == 'S') {
            suspects.push_back(line);
        } else if (line[0] == 'D') {
            // Only an empty folder goes: anything else in it is not ours.
            RemoveDirectoryW((destination + L"\\" + Wide(line.substr(2))).c_str());
        } else if (line[0] == 'A') {
            if (!RemoveFile(destination + L"\\" + Wide(line.substr(2))))
                left.push_back(line);
        } else if (line[0] == 'R') {
            int number = 0;
            long long size = 0;
            fields >> number >> size;
            std::string relative;
            std::getline(fields, relative);
            if (!relative.empty() && relative[0] == ' ')
                relative.erase(0, 1);
            const std::wstring target = destination + L"\\" + Wide(relative);
            const std::wstring old = m_undo + std::to_wstring(number);
            if (Exists(old) && SizeOf(old) != size && SizeOf(target) == size) {
                // A move across volumes copies first: cut short, it left the
                // old file in place and a part of it aside.
                RemoveFile(old);
            } else if (Exists(old)) {
                if (!RemoveFile(target) ||
                    !MoveFileExW(old.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
                    left.push_back(line);
            } else if (SizeOf(target) != size) {
                // Noted but never moved aside leaves the old file in place;
                // an old copy gone from the undo folder leaves whatever the
                // copy had written: the next step copies it again.
                suspects.push_back("S " + relative);
            }
        }
    }
    if (left.empty() && suspects.empty()) {
        RemoveFile(journal);
        EmptyFolder(m_undo);
        return true;
    }
    std::vector<std::string> kept;
    for (const std::string& line : lines)
        if (line.compare(0, 2, "P ") == 0 || (line.compare(0, 2, "T ") == 0 && !left.empty()))
            kept.push_back(line);
    kept.insert(kept.begin(), kHeader);
    kept.insert(kept.end(), suspects.rbegin(), suspects.rend());
    kept.insert(kept.end(), left.rbegin(), left.rend());
    RewriteJournal(journal, kept);
    return left.empty();
}

bool InstallJournal::Commit()
{
    Close();
    const std::wstring journal = m_undo + L"journal.txt";
    // The journal goes first: once it is gone the step stands, and old
    // copies left by a stop here are only cleared by the next step.
    if (!RemoveFile(journal))
        return false;
    EmptyFolder(m_undo);
    return true;
}

bool InstallJournal::Begin(const std::wstring& destination, const std::string& tag, const PathSet& suspects)
{
    Close();
    if (!IsFolder(m_undo) && !CreateDirectoryW(m_undo.c_str(), nullptr))
        return false;
    EmptyFolder(m_undo);
    m_destination = destination;
    m_kept = 0;
    m_file = CreateFileW((m_undo + L"journal.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE)
        return false;
    std::string text = std::string(kHeader) + "\nP " + Utf8(destination) + "\n";
    if (!tag.empty() && tag.find('\n') == std::string::npos)
        text += "T " + tag + "\n";
    for (const std::wstring& suspect : suspects)
        text += "S " + Utf8(suspect) + "\n";
    return Append(text);
}

bool InstallJournal::Append(const std::string& text)
{
    // Each line is on the disk before the change it announces is made.
    return m_file != INVALID_HANDLE_VALUE && WriteWhole(m_file, text);
}

void InstallJournal::NoteFolder(const std::wstring& relative) { m_noted += "D " + Utf8(relative) + "\n"; }

void InstallJournal::NoteAdded(const std::wstring& relative) { m_noted += "A " + Utf8(relative) + "\n"; }

int InstallJournal::NoteReplaced(const std::wstring& relative)
{
    const int number = ++m_kept;
    m_noted += "R " + std::to_string(number) + " " + std::to_string(SizeOf(m_destination + L"\\" + relative)) + " " +
               Utf8(relative) + "\n";
    return number;
}

bool InstallJournal::WriteNoted()
{
    // One flush for the whole step: a flush per file would cost more than
    // the copies themselves.
    const bool written = Append(m_noted);
    m_noted.clear();
    return written;
}

bool InstallJournal::KeepOldCopy(const std::wstring& relative, int number)
{
    const std::wstring old = m_undo + std::to_wstring(number);
    RemoveFile(old);
    return MoveFileExW((m_destination + L"\\" + relative).c_str(), old.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE;
}
