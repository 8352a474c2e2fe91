// A data file as its lines, for editing one section at a time: every line an
// edit does not concern stays byte for byte, so the maker's order, spacing and
// notes survive. Lines are read by the launcher's own scanner
// (DataFileScanner): trimmed, "[NAME]" headers, KEY=VALUE entries, names
// upper-cased, and nothing read after a line over kMaxLineBytes.
#pragma once

#include <string>
#include <vector>

class DataFileLines {
public:
    explicit DataFileLines(const std::string& text);

    /// Where a line stands: its 1-based number, section and key (upper case;
    /// the key is empty for a header or a blank line).
    struct Origin {
        int number = 0;
        std::string section;
        std::string key;
        size_t bytes = 0;
    };
    /// The first line over kMaxLineBytes, where the launcher stops reading; false when none.
    bool FirstOverlongLine(Origin& origin) const;

    /// Sets key to value in section (names in any case): replaces the line the
    /// reader takes last for that key; else adds a line after the section's
    /// last line; else appends the section at the end of the file.
    void Set(const std::string& section, const std::string& key, const std::string& value);

    std::string Text() const;

private:
    struct Line {
        std::string text; // without its line end
        std::string end;  // "\r\n", "\n" or "" for a last line without one
        std::string section;
        std::string key;
        bool header = false;
        bool entry = false;
    };
    void Parse(const std::string& text);

    std::vector<Line> m_lines;
    std::string m_lineEnd = "\r\n";
    size_t m_readable = 0; // lines the launcher reads
};
