// The range road: FetchRange and FetchRanges ask for parts of a file, one
// range or several in one request, and keep the bytes in memory.
#pragma once

#include "net/DownloadOptions.h"

#include <cstdint>
#include <string>
#include <vector>

/// Bytes first .. last of a file, both included.
struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;
};

/// How a server answered a request for part of a file.
enum class RangeResult {
    Received,  // a 206 for exactly the bytes asked for, all of them
    WholeFile, // a 200: the server sends the whole file (it ignores ranges); nothing of it was read
    OneRange,  // a 206 of one range to a request for several: the server sends no parts; nothing was read
    Failed,    // no answer, an error status, another range, a short or stalled body
};

/// Fetches bytes first .. last (inclusive) of url into body with "Range:
/// bytes=first-last", sent once. Progress, cancelling, the stall window and
/// the deadline work as for DownloadToFile, counting the bytes of this range;
/// maxBytes, expectedSize, expectedSha256, overLimit and sendTwice are not
/// used (the caller checks the bytes).
RangeResult FetchRange(const std::string& url, uint64_t first, uint64_t last, std::string& body,
                       const DownloadOptions& options = {});

/// Fetches several ranges of url in one request ("Range: bytes=a-b,c-d,..."):
/// ranges sorted by offset, none touching the next. The answer must be a 206
/// "multipart/byteranges" whose parts are exactly the ranges asked for, each
/// once, in any order; bodies[i] receives range i. One range asked for is
/// FetchRange's request and answer. Progress counts the bytes of the ranges
/// as they arrive, against their sum. The request is sent once.
RangeResult FetchRanges(const std::string& url, const std::vector<ByteRange>& ranges,
                        std::vector<std::string>& bodies, const DownloadOptions& options = {});

