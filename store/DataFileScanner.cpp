// A data file's lines made into entries: line ends, the line limit, headers,
// keys and values.
#include "store/DataFileScanner.h"

#include <cstdint>
#include <cstring>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The first c in [begin, end), or null. Written out rather than memchr, which
// the C runtime under Wine runs byte by byte behind a call; a word at a time
// while a whole word remains, as the line ends and NULs sought are rare.
const char* FindByte(const char* begin, const char* end, char c)
{
    using Word = uintptr_t;
    constexpr Word kOnes = ~Word(0) / 0xFF; // 0x01 in every byte
    constexpr Word kHighs = kOnes * 0x80;
    const Word pattern = kOnes * static_cast<unsigned char>(c);
    while (static_cast<size_t>(end - begin) >= sizeof(Word)) {
        Word word;
        memcpy(&word, begin, sizeof word);
        word ^= pattern;
        // Not zero exactly when a byte of the word is zero, that is, c.
        if ((word - kOnes) & ~word & kHighs)
            break;
        begin += sizeof word;
    }
    for (; begin < end; ++begin)
        if (*begin == c)
            return begin;
    return nullptr;
}

// Copies [begin, end) to out ASCII-upper-cased; returns the size.
size_t CopyUpper(char* out, const char* begin, const char* end)
{
    char* at = out;
    for (; begin < end; ++begin, ++at)
        *at = *begin >= 'a' && *begin <= 'z' ? static_cast<char>(*begin - 'a' + 'A') : *begin;
    return static_cast<size_t>(at - out);
}

} // namespace

DataFileScanner::DataFileScanner(int maxLines, const DataFileEntry& entry)
    : m_entry(&entry), m_maxLines(maxLines),
      m_sectionSize(CopyUpper(m_section, kGlobalSection, kGlobalSection + sizeof kGlobalSection - 1))
{
}

DataFileScanner::DataFileScanner(const DataFileLineTaken& line)
    : m_line(&line), m_maxLines(-1),
      m_sectionSize(CopyUpper(m_section, kGlobalSection, kGlobalSection + sizeof kGlobalSection - 1))
{
}

bool DataFileScanner::Take(const char* line, size_t length, bool fed)
{
    // A CR LF pair is one line end, as a text-mode read would see it.
    size_t endSize = fed ? 1 : 0;
    if (fed && length > 0 && line[length - 1] == '\r') {
        --length;
        ++endSize;
    }
    const std::string_view written(line, length);
    if (m_stopped) {
        // Reading has ended; a caller that keeps every line still gets it.
        if (m_line) {
            DataFileLine unread;
            unread.text = written;
            unread.end = std::string_view(line + length, endSize);
            unread.read = false;
            (*m_line)(unread);
        }
        return false;
    }
    const bool tooLong = length > kMaxLineBytes;
    if (tooLong)
        length = kMaxLineBytes;
    ++m_linesRead;
    if (const char* nul = FindByte(line, line + length, '\0'))
        length = static_cast<size_t>(nul - line);
    const char* begin = line;
    const char* end = line + length;
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
    bool header = false;
    size_t keySize = 0;
    if (begin < end) {
        const char* close = begin[0] == '[' && end - begin > 1 ? FindByte(begin + 1, end, ']') : nullptr;
        header = close && close > begin + 1;
        if (header) {
            m_sectionSize = CopyUpper(m_section, begin + 1, close);
        } else {
            const char* equals = FindByte(begin, end, '=');
            keySize = CopyUpper(m_key, begin, equals ? equals : end);
            if (m_entry)
                (*m_entry)(std::string_view(m_section, m_sectionSize), std::string_view(m_key, keySize),
                           equals ? std::string_view(equals + 1, static_cast<size_t>(end - equals - 1))
                                  : std::string_view(end, 0));
        }
    }
    m_stopped = tooLong || (m_maxLines != -1 && m_linesRead >= m_maxLines);
    if (m_line) {
        DataFileLine taken;
        taken.text = written;
        taken.end = std::string_view(line + written.size(), endSize);
        taken.header = header;
        taken.entry = begin < end && !header;
        taken.section = std::string_view(m_section, m_sectionSize);
        taken.key = std::string_view(m_key, keySize);
        (*m_line)(taken);
    }
    return !m_stopped;
}

size_t DataFileScanner::TakeLines(const char* data, size_t size)
{
    size_t pos = 0;
    while (const char* feed = FindByte(data + pos, data + size, '\n')) {
        const size_t end = static_cast<size_t>(feed - data);
        if (!Take(data + pos, end - pos, true) && !m_line)
            return std::string::npos;
        pos = end + 1;
    }
    return pos;
}

void ScanDataText(std::string_view text, int maxLines, const DataFileEntry& entry)
{
    DataFileScanner scanner(maxLines, entry);
    const size_t rest = scanner.TakeLines(text.data(), text.size());
    if (rest != std::string::npos && rest < text.size())
        scanner.TakeLast(text.data() + rest, text.size() - rest);
}

void ScanDataLines(std::string_view text, const DataFileLineTaken& line)
{
    DataFileScanner scanner(line);
    const size_t rest = scanner.TakeLines(text.data(), text.size());
    if (rest < text.size())
        scanner.TakeLast(text.data() + rest, text.size() - rest);
}
