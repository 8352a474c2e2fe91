// A data file as editable lines, read by the launcher's own scanner: each
// edit touches one line and leaves every other byte for byte.
#include "publish/DataFileLines.h"

#include "store/KeyValueStore.h"

DataFileLines::DataFileLines(const std::string& text) { Parse(text); }

void DataFileLines::Parse(const std::string& text)
{
    m_lines.clear();
    m_readable = 0;
    bool endSeen = false;
    ScanDataLines(text, [this, &endSeen](const DataFileLine& taken) {
        Line line;
        line.text.assign(taken.text);
        line.end.assign(taken.end);
        if (!endSeen && !line.end.empty()) {
            m_lineEnd = line.end;
            endSeen = true;
        }
        if (taken.read) {
            ++m_readable;
            line.section.assign(taken.section);
            line.key.assign(taken.key);
            line.header = taken.header;
            line.entry = taken.entry;
        }
        m_lines.push_back(std::move(line));
    });
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
