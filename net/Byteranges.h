// The multipart/byteranges answer to a request for several ranges: the
// boundary its Content-Type names, and ByterangesReader, which takes its
// body apart as it arrives.
#pragma once

#include "net/RangeRequest.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// The boundary of a "multipart/byteranges; boundary=..." Content-Type
/// (quoted or not); false for any other type or a boundary that is empty,
/// longer than 70 characters or holds a character no boundary may hold.
bool ByterangesBoundary(const std::string& contentType, std::string& boundary);

/// Reads a multipart/byteranges body as it arrives, strictly: an optional
/// CR LF, then each part as "--boundary" CR LF, header lines (one
/// Content-Range naming a range asked for and not yet received), an empty
/// line and exactly the range's bytes, then CR LF "--boundary--" and at most
/// a CR LF. Anything else (a part outside the ranges, one twice, overlong
/// header lines, bytes after the end) breaks it for good.
class ByterangesReader {
public:
    ByterangesReader(std::string boundary, std::vector<ByteRange> asked);
    /// False once the body broke the form.
    bool Feed(const char* data, size_t size);
    /// True once the closing delimiter came and every range asked for with it.
    bool Complete() const;
    /// Bytes of the ranges received so far.
    uint64_t RangeBytes() const { return m_rangeBytes; }
    /// The bytes of each range asked for, in the order asked.
    std::vector<std::string>& Bodies() { return m_bodies; }

private:
    enum class Stage { Start, Delimiter, AfterDelimiter, Headers, Data, AfterData, End, Broken };
    bool Step();
    bool HeaderLine(const std::string& line);

    std::string m_delimiter; // "--" + boundary
    std::vector<ByteRange> m_asked;
    std::vector<std::string> m_bodies;
    std::vector<bool> m_received;
    size_t m_receivedCount = 0;
    uint64_t m_rangeBytes = 0;
    std::string m_pending; // bytes read but not yet taken
    Stage m_stage = Stage::Start;
    size_t m_part = 0;  // the range the current part carries
    bool m_partHasRange = false;
    size_t m_headerBytes = 0;
};
