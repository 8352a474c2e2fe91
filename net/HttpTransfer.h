// The launcher's one network operation: fetch a URL with an HTTP GET over
// WinINet and store the whole body in a local file.
#pragma once

#include "net/ProxyConfig.h"
#include "net/UrlParts.h"

#include <windows.h>

#include <wininet.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
    /// SIZE of the index, or -1: the body must be exactly this long.
    int64_t expectedSize = -1;
    /// SHA256 of the index (64 hex digits), or "": the body must hash to it.
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

/// The slowest average pace an archive may come at, after a minute's grace:
/// 16 KB a second.
constexpr uint64_t kArchiveFloorBytesPerSecond = 16 * 1024;
constexpr unsigned long long kArchiveGraceMs = 60000;

/// The overall time limit of an archive of size bytes at that pace; 0 (none
/// but the stall rule) when the size is not known (negative).
unsigned long long ArchiveDeadlineMs(int64_t size);

/// Fetches url into the file at path. True when the body was received whole
/// (every byte of its Content-Length, or a chunked body up to its last chunk)
/// with a status below 400, matched options, was written, and the file holds
/// at least 10 bytes. On false the file is untouched (the transfer failed or
/// broke, the body was over a limit or did not match, or could not be stored)
/// or removed (it was too short). The body streams to "<path>.part", hashed
/// on the way, and replaces the file only once whole and checked. Memory use
/// does not grow with the body's size. A body over maxBytes ends the
/// transfer at once, unread.
bool DownloadToFile(const std::string& url, const std::string& path, const DownloadOptions& options = {});

/// DownloadToFile, and once more when that fails. When the first attempt
/// broke after part of the body and the answer named its version (ETag, or
/// Last-Modified), the second asks only for the rest ("Range: bytes=N-" with
/// "If-Range"): a 206 with the matching Content-Range is appended, a 200
/// starts over. The file is checked as a whole either way.
bool DownloadWithResume(const std::string& url, const std::string& path, const DownloadOptions& options = {});

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
/// bytes=first-last". Progress and cancelling work as for DownloadToFile,
/// counting the bytes of this range; maxBytes, expectedSize and
/// expectedSha256 are not used (the caller checks the bytes).
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

/// One WinINet internet handle, connection and request, with the proxy taken
/// from the settings file when the transfer is created.
class HttpTransfer {
public:
    HttpTransfer();
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    /// Connect, send and receive time-outs for every handle opened from now.
    void SetTimeout(unsigned milliseconds);
    void SetUrl(const std::string& url);
    /// 0 on success, 1 when the connection, 2 when the request cannot be opened.
    int OpenRequest();

    /// Sends the request with the standard header and extraHeaders ("Name:
    /// value" lines, each ending in CR LF), resetting and sending once more
    /// after a failed send when twice is set. status receives the HTTP status.
    bool Send(DWORD& status, const std::string& extraHeaders = std::string(), bool twice = true);
    /// A response header (HTTP_QUERY_*) as text; "" when absent.
    std::string Header(DWORD query);
    /// Reads up to size bytes of the body after Send. False when the read
    /// failed (the connection broke, timed out or was aborted); got 0 at the end.
    bool Read(char* data, DWORD size, DWORD& got);
    /// Ends the request from any thread; a blocked send or read returns failed.
    void Abort();
    /// Ends the request and leaves its handles to be closed on a thread of
    /// their own: closing a request whose body was not read whole can make
    /// WinINet read the rest (Wine reads whatever keeps arriving), and that
    /// must not hold up the caller. With a few such threads already at work
    /// the request is left open and unread until the process ends.
    void Abandon();
    void Close();

private:
    void OpenInternet();
    void CloseRequest();
    /// Closes the request and connection handles; the caller holds m_lock.
    void CloseHandles();
    void Reset();
    HINTERNET Request();

    bool m_secure = false;
    std::string m_host;
    std::string m_scheme;
    int m_port = 80;
    std::string m_objectName;
    ProxySettings m_proxy;
    DWORD m_timeout = 0;
    // Guards the handles against Abort from another thread.
    std::mutex m_lock;
    bool m_aborted = false;
    HINTERNET m_internet = nullptr;
    HINTERNET m_connection = nullptr;
    HINTERNET m_request = nullptr;
};
