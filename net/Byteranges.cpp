// The boundary of a multipart/byteranges Content-Type, and ByterangesReader,
// the strict reader of such a body, fed as it arrives.
#include "net/Byteranges.h"

#include "net/HttpHeaders.h"

#include <algorithm>
#include <cstring>

bool ByterangesBoundary(const std::string& contentType, std::string& boundary)
{
    // multipart/byteranges; boundary=THIS (or "THIS"), other parameters allowed.
    auto trim = [](std::string text) {
        const size_t start = text.find_first_not_of(" \t");
        const size_t end = text.find_last_not_of(" \t");
        return start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
    };
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t semicolon = contentType.find(';', start);
        fields.push_back(trim(contentType.substr(start, semicolon - start)));
        if (semicolon == std::string::npos)
            break;
        start = semicolon + 1;
    }
    if (_stricmp(fields[0].c_str(), "multipart/byteranges") != 0)
        return false;
    std::string found;
    int boundaries = 0;
    for (size_t i = 1; i < fields.size(); ++i) {
        const size_t equals = fields[i].find('=');
        if (equals == std::string::npos || _stricmp(trim(fields[i].substr(0, equals)).c_str(), "boundary") != 0)
            continue;
        ++boundaries;
        found = trim(fields[i].substr(equals + 1));
        if (found.size() >= 2 && found.front() == '"' && found.back() == '"')
            found = found.substr(1, found.size() - 2);
    }
    // The characters a boundary may hold; it must not end in a blank.
    const char kBoundaryCharacters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=? ";
    if (boundaries != 1 || found.empty() || found.size() > 70 || found.back() == ' ' ||
        found.find_first_not_of(kBoundaryCharacters) != std::string::npos)
        return false;
    boundary = found;
    return true;
}

namespace {

// A part's header lines are short: a Content-Type and a Content-Range.
constexpr size_t kMostPartHeaderLine = 1024;
constexpr size_t kMostPartHeaders = 4096;

} // namespace

ByterangesReader::ByterangesReader(std::string boundary, std::vector<ByteRange> asked)
    : m_delimiter("--" + boundary), m_asked(std::move(asked)), m_bodies(m_asked.size()),
      m_received(m_asked.size(), false)
{
}

bool ByterangesReader::Feed(const char* data, size_t size)
{
    if (m_stage == Stage::Broken)
        return false;
    m_pending.append(data, size);
    while (Step()) {
    }
    return m_stage != Stage::Broken;
}

bool ByterangesReader::Complete() const { return m_stage == Stage::End && m_receivedCount == m_asked.size(); }

bool ByterangesReader::HeaderLine(const std::string& line)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t')
        return false;
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    if (_stricmp(name.c_str(), "Content-Range") != 0)
        return true;
    ContentRange range;
    if (m_partHasRange || !ParseContentRange(line.substr(colon + 1), range))
        return false;
    for (size_t i = 0; i < m_asked.size(); ++i) {
        if (m_asked[i].first == range.first && m_asked[i].last == range.last && !m_received[i]) {
            m_part = i;
            m_partHasRange = true;
            return true;
        }
    }
    return false;
}

bool ByterangesReader::Step()
{
    // Each stage takes what it needs from the front of m_pending; false when
    // it must wait for more bytes (or the body broke).
    auto take = [this](size_t count) { m_pending.erase(0, count); };
    auto broken = [this] {
        m_stage = Stage::Broken;
        m_pending.clear();
        return false;
    };
    auto startsWith = [this](const std::string& text) { return m_pending.compare(0, text.size(), text) == 0; };
    // The bytes there are begin what is expected, but not all of it has come.
    auto waiting = [this](const std::string& text) {
        return m_pending.size() < text.size() && text.compare(0, m_pending.size(), m_pending) == 0;
    };
    switch (m_stage) {
    case Stage::Start:
        if (startsWith("\r\n")) {
            take(2);
            m_stage = Stage::Delimiter;
            return true;
        }
        if (waiting("\r\n") || waiting(m_delimiter))
            return false;
        m_stage = Stage::Delimiter;
        return true;
    case Stage::Delimiter:
        if (waiting(m_delimiter))
            return false;
        if (!startsWith(m_delimiter))
            return broken();
        take(m_delimiter.size());
        m_stage = Stage::AfterDelimiter;
        return true;
    case Stage::AfterDelimiter:
        if (m_pending.size() < 2)
            return false;
        if (startsWith("--")) {
            take(2);
            if (m_receivedCount != m_asked.size())
                return broken();
            m_stage = Stage::End;
            return true;
        }
        if (!startsWith("\r\n"))
            return broken();
        take(2);
        m_partHasRange = false;
        m_headerBytes = 0;
        m_stage = Stage::Headers;
        return true;
    case Stage::Headers: {
        const size_t end = m_pending.find("\r\n");
        if (end == std::string::npos)
            return m_pending.size() > kMostPartHeaderLine ? broken() : false;
        m_headerBytes += end + 2;
        if (end > kMostPartHeaderLine || m_headerBytes > kMostPartHeaders)
            return broken();
        const std::string line = m_pending.substr(0, end);
        take(end + 2);
        if (line.empty()) {
            if (!m_partHasRange)
                return broken();
            m_stage = Stage::Data;
            return true;
        }
        return HeaderLine(line) ? true : broken();
    }
    case Stage::Data: {
        const ByteRange& range = m_asked[m_part];
        std::string& body = m_bodies[m_part];
        const uint64_t missing = range.last - range.first + 1 - body.size();
        const size_t count = static_cast<size_t>(std::min<uint64_t>(missing, m_pending.size()));
        body.append(m_pending, 0, count);
        take(count);
        m_rangeBytes += count;
        if (count < missing)
            return false;
        m_received[m_part] = true;
        ++m_receivedCount;
        m_stage = Stage::AfterData;
        return true;
    }
    case Stage::AfterData:
        if (waiting("\r\n"))
            return false;
        if (!startsWith("\r\n"))
            return broken();
        take(2);
        m_stage = Stage::Delimiter;
        return true;
    case Stage::End:
        // At most a CR LF closes the body.
        if (!m_pending.empty() && m_pending != "\r" && m_pending != "\r\n")
            return broken();
        return false;
    case Stage::Broken:
        return false;
    }
    return false;
}
