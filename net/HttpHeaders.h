// Readers of the answer headers the transfers act on: Content-Length and
// Content-Range.
#pragma once

#include <cstdint>
#include <string>

/// The numbers of a Content-Range "bytes first-last/total" (total "*": unknown).
struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
    bool totalKnown = false;
};

/// False when text is no satisfied byte range (first above last, last
/// outside a known total, another unit).
bool ParseContentRange(const std::string& text, ContentRange& range);

/// The number a Content-Length gives; present is false (and the result 0)
/// when text is empty or not all digits.
uint64_t ParseLength(const std::string& text, bool& present);
