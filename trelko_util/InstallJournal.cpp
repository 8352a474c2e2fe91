// The journal of an installation step: its text read into records, written
// before each change, rolled back newest first, or removed once the step stands.
#include "trelko_util/InstallJournal.h"

#include "store/AtomicFile.h"
#include "store/Text.h"
#include "trelko_util/FileServices.h"

#include <algorithm>
#include <set>

namespace {

const char kHeader[] = "MORVINDEX-JOURNAL 1";

// A read-only file (xcopy keeps the archive's attributes) must be made
// writable before it can go.
bool RemoveFile(const std::wstring& path)
{
    if (!PathExists(path))
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

// A whole decimal number, nothing else.
bool ParseNumber(const std::string& text, long long& value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoll(text);
    return true;
}

std::string FormatRecord(const JournalRecord& record)
{
    std::string line(1, record.kind);
    line += ' ';
    if (record.kind == 'R')
        line += std::to_string(record.number) + " " + std::to_string(record.size) + " ";
    return line + Utf8FromWide(record.relative);
}

bool IsOldCopyName(const std::wstring& name, int& number)
{
    long long value = 0;
    if (!ParseNumber(Utf8FromWide(name), value) || value > 0x7FFFFFFF)
        return false;
    number = static_cast<int>(value);
    return true;
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
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    AtomicFileWriter writer(journal, kJournalRewriteSuffix);
    return writer.Open() && writer.Write(text.data(), text.size()) && writer.Commit();
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
    return folder + kUndoFolderSuffix + L"\\";
}

InstallJournal::InstallJournal(const std::wstring& staging) : m_undo(UndoFolderFor(staging)) {}

InstallJournal::~InstallJournal() { Close(); }

void InstallJournal::Close()
{
    if (m_file != INVALID_HANDLE_VALUE)
        CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

bool ParseJournal(const std::string& text, PendingJournal& pending, std::vector<JournalRecord>& records)
{
    pending = PendingJournal();
    records.clear();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (lines.empty() || lines[0] != kHeader)
        return false;
    bool readable = true;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line == "W") {
            pending.awaitsCaller = true;
            continue;
        }
        if (line.size() < 3 || line[1] != ' ') {
            readable = false;
            continue;
        }
        const std::string value = line.substr(2);
        JournalRecord record;
        record.kind = line[0];
        switch (line[0]) {
        case 'P':
            pending.destination = WideFromUtf8(value);
            break;
        case 'T':
            pending.tag = value;
            break;
        case 'S':
            pending.suspects.insert(WideFromUtf8(value));
            break;
        case 'A':
        case 'D':
        case 'E':
            record.relative = WideFromUtf8(value);
            records.push_back(record);
            break;
        case 'R': {
            const size_t first = value.find(' ');
            const size_t second = first == std::string::npos ? first : value.find(' ', first + 1);
            long long number = 0;
            if (second == std::string::npos || !ParseNumber(value.substr(0, first), number) || number <= 0 ||
                number > 0x7FFFFFFF || !ParseNumber(value.substr(first + 1, second - first - 1), record.size) ||
                second + 1 >= value.size()) {
                readable = false;
                break;
            }
            record.number = static_cast<int>(number);
            record.relative = WideFromUtf8(value.substr(second + 1));
            records.push_back(record);
            break;
        }
        default:
            readable = false;
        }
    }
    for (const JournalRecord& record : records)
        readable = readable && !record.relative.empty();
    readable = readable && (records.empty() || !pending.destination.empty());
    pending.hasWork = !records.empty();
    return readable;
}

bool InstallJournal::Read(PendingJournal& pending, std::vector<JournalRecord>& records) const
{
    std::string text;
    if (!ReadFileBytes(m_undo + kJournalFileName, text))
        return false;
    const bool readable = ParseJournal(text, pending, records);
    std::set<int> named;
    for (const JournalRecord& record : records)
        if (record.kind == 'R')
            named.insert(record.number);
    // Every file of the undo folder is an old copy a line names: one that no
    // line names could be the only copy of a user's file.
    bool strays = false, anyCopy = false;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((m_undo + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            int number = 0;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == kJournalFileName ||
                name == std::wstring(kJournalFileName) + kJournalRewriteSuffix)
                continue;
            anyCopy = true;
            strays = strays || !IsOldCopyName(name, number) || !named.count(number);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    if (readable && !strays)
        return true;
    // A header that never reached the disk: nothing was moved aside after it.
    if (text.compare(0, sizeof kHeader - 1, kHeader) != 0 && !anyCopy)
        return false;
    pending.damaged = true;
    pending.hasWork = true;
    return true;
}

bool InstallJournal::ReadPending(PendingJournal& pending) const
{
    std::vector<JournalRecord> records;
    return Read(pending, records);
}

bool InstallJournal::RollBack()
{
    Close();
    const std::wstring journal = m_undo + kJournalFileName;
    PendingJournal pending;
    std::vector<JournalRecord> records;
    if (!Read(pending, records)) {
        // No journal, or one whose header never reached the disk: nothing was
        // touched before the header, so nothing is to be put back.
        RemoveFile(journal);
        return true;
    }
    if (pending.damaged)
        return false;
    const std::wstring& destination = pending.destination;
    std::vector<JournalRecord> left;
    std::vector<std::wstring> suspects(pending.suspects.begin(), pending.suspects.end());
    for (size_t i = records.size(); i-- > 0;) {
        const JournalRecord& record = records[i];
        const std::wstring target = destination + L"\\" + record.relative;
        if (record.kind == 'D') {
            // Only an empty folder goes: anything else in it is not ours.
            RemoveDirectoryW(target.c_str());
        } else if (record.kind == 'E') {
            if (!IsFolderPath(target) && !CreateDirectoryW(target.c_str(), nullptr))
                left.push_back(record);
        } else if (record.kind == 'A') {
            if (!RemoveFile(target))
                left.push_back(record);
        } else if (record.kind == 'R') {
            const std::wstring old = m_undo + std::to_wstring(record.number);
            if (PathExists(old) && SizeOf(old) != record.size && SizeOf(target) == record.size) {
                // A move across volumes copies first: cut short, it left the
                // old file in place and a part of it aside.
                RemoveFile(old);
            } else if (PathExists(old)) {
                if (!RemoveFile(target) ||
                    !MoveFileExW(old.c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
                    left.push_back(record);
            } else if (SizeOf(target) != record.size) {
                // Noted but never moved aside leaves the old file in place;
                // an old copy gone from the undo folder leaves whatever the
                // copy had written: the next step copies it again.
                suspects.push_back(record.relative);
            }
        }
    }
    if (left.empty() && suspects.empty()) {
        RemoveFile(journal);
        EmptyFolder(m_undo);
        return true;
    }
    std::vector<std::string> kept = {kHeader, "P " + Utf8FromWide(destination)};
    if (!left.empty() && !pending.tag.empty())
        kept.push_back("T " + pending.tag);
    PathSet once;
    for (const std::wstring& suspect : suspects)
        if (once.insert(suspect).second)
            kept.push_back("S " + Utf8FromWide(suspect));
    for (size_t i = left.size(); i-- > 0;)
        kept.push_back(FormatRecord(left[i]));
    RewriteJournal(journal, kept);
    return left.empty();
}

bool InstallJournal::Commit()
{
    Close();
    const std::wstring journal = m_undo + kJournalFileName;
    PendingJournal pending;
    std::vector<JournalRecord> records;
    if (Read(pending, records) && pending.damaged)
        return false;
    // The journal goes first: once it is gone the step stands, and old
    // copies left by a stop here are only cleared by the next step.
    if (!RemoveFile(journal))
        return false;
    EmptyFolder(m_undo);
    return true;
}

bool InstallJournal::Begin(const std::wstring& destination, const std::string& tag, const PathSet& suspects,
                           bool awaitsCaller)
{
    Close();
    if (!IsFolderPath(m_undo) && !CreateDirectoryW(m_undo.c_str(), nullptr))
        return false;
    EmptyFolder(m_undo);
    m_destination = destination;
    m_kept = 0;
    m_file = CreateFileW((m_undo + kJournalFileName).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE)
        return false;
    std::string text = std::string(kHeader) + "\nP " + Utf8FromWide(destination) + "\n";
    if (!tag.empty() && tag.find('\n') == std::string::npos)
        text += "T " + tag + "\n";
    if (awaitsCaller)
        text += "W\n";
    for (const std::wstring& suspect : suspects)
        text += "S " + Utf8FromWide(suspect) + "\n";
    return Append(text);
}

bool InstallJournal::Append(const std::string& text)
{
    // Each line is on the disk before the change it announces is made.
    return m_file != INVALID_HANDLE_VALUE && WriteWhole(m_file, text);
}

void InstallJournal::NoteFolder(const std::wstring& relative) { m_noted += "D " + Utf8FromWide(relative) + "\n"; }

void InstallJournal::NoteAdded(const std::wstring& relative) { m_noted += "A " + Utf8FromWide(relative) + "\n"; }

void InstallJournal::NoteRemovedFolder(const std::wstring& relative)
{
    m_noted += "E " + Utf8FromWide(relative) + "\n";
}

int InstallJournal::NoteReplaced(const std::wstring& relative)
{
    const int number = ++m_kept;
    m_noted += "R " + std::to_string(number) + " " + std::to_string(SizeOf(m_destination + L"\\" + relative)) + " " +
               Utf8FromWide(relative) + "\n";
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
