// The download road: DownloadToFile and DownloadWithResume fetch a whole body
// into a file, checked before it replaces the file; DecideResume reads the
// answer to a request for the rest of a body; ArchiveDeadlineMs gives an
// archive's overall time limit.
#pragma once

#include "net/DownloadOptions.h"

#include <cstdint>
#include <string>

/// The slowest average pace an archive may come at, after a minute's grace:
/// 16 KB a second.
constexpr uint64_t kArchiveFloorBytesPerSecond = 16 * 1024;
constexpr unsigned long long kArchiveGraceMs = 60000;

/// The overall time limit of an archive of size bytes at that pace; 0 (none
/// but the stall rule) when the size is not known (negative).
unsigned long long ArchiveDeadlineMs(int64_t size);

/// Fetches url into the file at path. True when the body was received whole
/// with a status below 400, matched options, was written, and the file holds
/// at least 10 bytes. Whole is every byte of its Content-Length (or of its
/// Content-Range); a body with neither ends where the server closes the
/// connection, unless the stall rule or the deadline ended it. An answer in
/// chunks fails: the request is HTTP/1.0, and WinINet ends a chunked body cut
/// short as if it were whole. On false the file is untouched (the transfer
/// failed or broke, the body was over a limit or did not match, or could not
/// be stored) or removed (it was too short). The body streams to
/// "<path>.part", hashed on the way, and replaces the file only once whole
/// and checked. Memory use does not grow with the body's size. A body over
/// maxBytes ends the transfer at once, unread.
bool DownloadToFile(const std::string& url, const std::string& path, const DownloadOptions& options = {});

/// DownloadToFile, and once more when that fails, unless the progress asks
/// to stop or overLimit (when given) was set. When the first attempt broke
/// after part of the body and the answer named its version (ETag, or
/// Last-Modified), the second asks only for the rest ("Range: bytes=N-" with
/// "If-Range"): a 206 with the matching Content-Range is appended, a 200
/// starts over. The file is checked as a whole either way.
bool DownloadWithResume(const std::string& url, const std::string& path, const DownloadOptions& options = {});

/// What an answer to a request for the body from offset on means for the
/// bytes already kept.
enum class ResumeDecision {
    Append,  // a 206 for exactly the rest: append it
    Restart, // the whole body (a 200, or offset 0): write it from the start
    Fail,    // an error status, or a range that is not the one asked for
};

/// Decides from the answer's status and Content-Range (empty when absent).
/// knownEnd, when not 0, is the body's length as the first answer gave it: a
/// part must end exactly there, whatever total it names (or "*").
ResumeDecision DecideResume(unsigned status, const std::string& contentRange, uint64_t offset,
                            uint64_t knownEnd = 0);
