// The line rules of a data file, stated once: the store and the index's
// record reader both take their entries from this scanner.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

/// A line of a data file holds at most this many bytes; a longer one ends the read.
constexpr size_t kMaxLineBytes = 1023;

/// The section of the entries that come before any header.
constexpr char kGlobalSection[] = "GLOBAL";

/// One entry of a data file: the name of its section and its key, both
/// ASCII-upper-cased, and its value as written with the blanks around it
/// trimmed ("" for a line without '='). The name and key last for the call
/// only; the value points into the bytes handed to the scanner.
using DataFileEntry = std::function<void(std::string_view section, std::string_view key, std::string_view value)>;

/// One line of a data file, for a caller that keeps the file's lines: the
/// line as written and its end, and what the reader makes of it. The lines
/// after the one where reading ends come too, unread. The section and key
/// last for the call only; the texts point into the bytes handed over.
struct DataFileLine {
    std::string_view text;    // as written, without its end
    std::string_view end;     // "\r\n", "\n", or "" for a last line without one
    bool read = true;         // false after the line where reading ends
    bool header = false;      // "[NAME]"
    bool entry = false;       // neither blank nor a header
    std::string_view section; // upper case: a header's own name, else the section the line stands in
    std::string_view key;     // an entry's key, upper case
};
using DataFileLineTaken = std::function<void(const DataFileLine& line)>;

/// Reads a data file's lines by the format's rules, handing each entry over
/// in the file's order. A CR LF pair is one line end; a line over
/// kMaxLineBytes is cut there and ends the read; a NUL cuts its line; blanks
/// around a line are trimmed; "[NAME]" (not "[]") starts a section; a blank
/// line is skipped; any other line is an entry, its key what stands before
/// the first '='. maxLines -1 reads every line; otherwise reading ends
/// after that many, blank ones counted.
class DataFileScanner {
public:
    /// entry must outlive the scanner.
    DataFileScanner(int maxLines, const DataFileEntry& entry);
    /// Hands over every line, read or not; line must outlive the scanner.
    explicit DataFileScanner(const DataFileLineTaken& line);

    /// Takes every line of [data, data + size) that an LF ends; returns where
    /// the unfinished rest begins (size when there is none), or npos once
    /// reading must end (never for a scanner handing over every line).
    size_t TakeLines(const char* data, size_t size);
    /// Takes the file's last line, which no LF ends.
    void TakeLast(const char* data, size_t size) { Take(data, size, false); }

private:
    bool Take(const char* line, size_t length, bool fed);

    const DataFileEntry* m_entry = nullptr;
    const DataFileLineTaken* m_line = nullptr;
    const int m_maxLines;
    int m_linesRead = 0;
    bool m_stopped = false;
    // The upper-case section name and key, in room of their own: a name or
    // key lies within one line.
    char m_section[kMaxLineBytes];
    size_t m_sectionSize;
    char m_key[kMaxLineBytes];
};

/// Scans a whole data file held in memory.
void ScanDataText(std::string_view text, int maxLines, const DataFileEntry& entry);
/// Hands over every line of a whole data file held in memory.
void ScanDataLines(std::string_view text, const DataFileLineTaken& line);
