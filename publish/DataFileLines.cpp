// A data file as editable lines, read with the launcher's rules: each edit
// touches one line and leaves every other byte for byte.
#include "publish/DataFileLines.h"

#include "store/KeyValueStore.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

} // namespace

DataFileLines::DataFileLines(const std::string& text) { Parse(text); }

void DataFileLines::Parse(const std::string& text)
{
    m_lines.clear();
    m_readable = 0;
    bool endSeen = false;
    std::string section = KeyValueStore::kGlobal;
    bool reading = true;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t feed = text.find('\n', pos);
        Line line;
        if (feed == std::string::npos) {
            line.text = text.substr(pos);
            pos = text.size();
        } else {
            size_t end = feed;
            if (end > pos && text[end - 1] == '\r')
                --end;
            line.text = text.substr(pos, end - pos);
            line.end = text.substr(end, feed + 1 - end);
            pos = feed + 1;
            if (!endSeen) {
                m_lineEnd = line.end;
                endSeen = true;
            }
        }
        if (reading) {
            ++m_readable;
            std::string content = line.text.substr(0, kMaxLineBytes);
            content = content.substr(0, content.find('\0'));
            size_t first = 0, last = content.size();
            while (first < last && IsBlank(content[first]))
                ++first;
            while (last > first && IsBlank(content[last - 1]))
                --last;
            content = content.substr(first, last - first);
            size_t close = content.size() > 1 && content[0] == '[' ? content.find(']', 1) : std::string::npos;
            if (close != std::string::npos && close > 1) {
                section = UpperAscii(content.substr(1, close - 1));
                line.header = true;
            } else if (!content.empty()) {
                line.key = UpperAscii(content.substr(0, content.find('=')));
                line.entry = true;
            }
            line.section = section;
            if (line.text.size() > kMaxLineBytes)
                reading = false;
        }
        m_lines.push_back(std::move(line));
    }
}

bool DataFileLines::FirstOverlongLine(Origin& origin) const
{
    for (size_t i = 0; i < m_readable; ++i) {
        if (m_lines[i].text.size() > kMaxLineBytes) {
            origin.number = static_cast<int>(i) + 1;
            origin.section = m_lines[i].section;
            origin.key = m_lines[i].key;
            origin.bytes = m_lines[i].text.size();
            return true;
        }
    }
    return false;
}

void DataFileLines::Set(const std::string& sectionName, const std::string& keyName, const std::string& value)
{
    const std::string section = UpperAscii(sectionName);
    const std::string key = UpperAscii(keyName);
    const std::string text = key + "=" + value;
    size_t lastEntry = m_lines.size();
    size_t lastOfSection = m_lines.size();
    for (size_t i = 0; i < m_readable; ++i) {
        const Line& line = m_lines[i];
        if (line.section != section || !(line.header || line.entry))
            continue;
        lastOfSection = i;
        if (line.entry && line.key == key)
            lastEntry = i;
    }
    if (lastEntry < m_lines.size()) {
        m_lines[lastEntry].text = text;
    } else if (lastOfSection < m_lines.size()) {
        Line added;
        added.text = text;
        added.end = m_lineEnd;
        if (m_lines[lastOfSection].end.empty()) {
            m_lines[lastOfSection].end = m_lineEnd;
            added.end.clear();
        }
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(lastOfSection) + 1, added);
    } else {
        std::string appended;
        if (!m_lines.empty()) {
            if (m_lines.back().end.empty())
                appended += m_lineEnd;
            if (!m_lines.back().text.empty())
                appended += m_lineEnd;
        }
        appended += "[" + section + "]" + m_lineEnd + text + m_lineEnd;
        Parse(Text() + appended);
        return;
    }
    Parse(Text());
}

std::string DataFileLines::Text() const
{
    std::string out;
    for (const Line& line : m_lines)
        out += line.text + line.end;
    return out;
}
