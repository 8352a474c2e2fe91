// What a transfer is told: DownloadProgress (where it reports the bytes it
// received, and is told to stop) and DownloadOptions (the limits, checks and
// time rules a body must meet), shared by the download and range roads.
#pragma once

#include <cstdint>
#include <string>

/// Where a download reports the bytes it received, and is told to stop.
class DownloadProgress {
public:
    virtual ~DownloadProgress() = default;
    /// received of total bytes so far (total 0 when the server did not say).
    virtual void Received(uint64_t received, uint64_t total) = 0;
    /// True once the download must end (the window is closing); the attempt
    /// fails. Asked from the download's watch thread too, so that a stalled
    /// read ends at once: it must be safe to call from any thread.
    virtual bool Cancelled() const { return false; }
};

/// What a body may be and must match. The defaults ask for nothing beyond a
/// whole body: a status below 400, every byte the server announced, and at
/// least 10 bytes.
struct DownloadOptions {
    /// Largest body accepted (0: no limit but the free space of the disk).
    uint64_t maxBytes = 0;
    /// The exact length the body must have, or -1 for any.
    int64_t expectedSize = -1;
    /// The SHA-256 the body must hash to (64 hex digits), or "" for any.
    std::string expectedSha256;
    /// Receives progress and may stop the transfer; may be null.
    DownloadProgress* progress = nullptr;
    /// A transfer that receives fewer than stallBytes in any stallWindowMs
    /// (waiting for the answer included) has stalled and fails; the same
    /// window is WinINet's connect, send and receive time-out.
    unsigned stallWindowMs = 30000;
    uint64_t stallBytes = 1024;
    /// The whole transfer must end within this many milliseconds (0: no limit
    /// but the stall rule).
    unsigned long long deadlineMs = 0;
    /// Set true when the body was refused for passing maxBytes (announced or
    /// received): the same limit would refuse it again. May be null.
    bool* overLimit = nullptr;
    /// When false, a request that gets no answer is not sent a second time
    /// (the caller has a better road than waiting as long again).
    bool sendTwice = true;
};
