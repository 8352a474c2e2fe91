#include "net/HttpTransfer.h"

#include "net/Crypto.h"
#include "store/AtomicFile.h"
#include "store/Text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <thread>

namespace {

const char kAgent[] = "MORVGis";
const char kRequestHeader[] = "Content-Type: application/octet-stream";
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE;
// An HTTP/1.0 request: a server answers it with a Content-Length or ends the
// body by closing, never with chunks, which WinINet would hand over cut short
// without a word when the connection drops before the last one.
const char kHttpVersion[] = "HTTP/1.0";
constexpr DWORD kReadSize = 65536;
constexpr uint64_t kMinimumFileSize = 10;
const wchar_t kPartSuffix[] = L".part";
// Threads that may be closing abandoned requests at once (HttpTransfer::Abandon).
constexpr int kMostClosers = 4;

} // namespace

HttpTransfer::HttpTransfer() : m_proxy(ReadActiveProxy()) { OpenInternet(); }

HttpTransfer::~HttpTransfer() { Close(); }

void HttpTransfer::SetTimeout(unsigned milliseconds)
{
    m_timeout = milliseconds;
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_internet || !m_timeout)
        return;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionA(m_internet, option, &m_timeout, sizeof(m_timeout));
}

void HttpTransfer::OpenInternet()
{
    // An active proxy is given to this session alone. (Setting it as a
    // per-connection option instead would, under Wine, rewrite the user's
    // system-wide proxy settings and keep every later transfer on it.)
    if (m_proxy.address.empty())
        m_internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    else
        m_internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PROXY, m_proxy.address.c_str(), "local", 0);
}

void HttpTransfer::SetUrl(const std::string& url)
{
    UrlParts parts = SplitUrl(url);
    m_scheme = parts.scheme;
    m_host = parts.host;
    m_port = parts.port;
    m_objectName = parts.ObjectName();
    m_secure = parts.Secure();
}

int HttpTransfer::OpenRequest()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_request)
        return 0;
    if (m_aborted || !m_internet)
        return 1;
    m_connection = InternetConnectA(m_internet, m_host.c_str(), static_cast<INTERNET_PORT>(m_port), "", "",
                                    INTERNET_SERVICE_HTTP, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (!m_connection)
        return 1;
    if (m_timeout) {
        // The connection inherits them from the session, but only some
        // WinINet versions pass them on to a request: set them on both.
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
            InternetSetOptionA(m_connection, option, &m_timeout, sizeof(m_timeout));
    }
    if (!m_proxy.address.empty()) {
        InternetSetOptionA(m_connection, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>(m_proxy.user.c_str()),
                           static_cast<DWORD>(m_proxy.user.size() + 1));
        InternetSetOptionA(m_connection, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char*>(m_proxy.password.c_str()),
                           static_cast<DWORD>(m_proxy.password.size() + 1));
    }
    const char* acceptTypes[] = {"*/*", nullptr};
    m_request = HttpOpenRequestA(m_connection, nullptr, m_objectName.c_str(), kHttpVersion, nullptr, acceptTypes,
                                 kRequestFlags | (m_secure ? INTERNET_FLAG_SECURE : 0), 0);
    if (m_request && m_timeout) {
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
            InternetSetOptionA(m_request, option, &m_timeout, sizeof(m_timeout));
    }
    return m_request ? 0 : 2;
}

void HttpTransfer::CloseHandles()
{
    if (m_request)
        InternetCloseHandle(m_request);
    if (m_connection)
        InternetCloseHandle(m_connection);
    m_request = nullptr;
    m_connection = nullptr;
}

void HttpTransfer::CloseRequest()
{
    std::lock_guard<std::mutex> hold(m_lock);
    CloseHandles();
}

HINTERNET HttpTransfer::Request()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_request;
}

void HttpTransfer::Abort()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_aborted = true;
    // Closing the handles is how WinINet ends a call blocked on another thread.
    CloseHandles();
}

void HttpTransfer::Abandon()
{
    HINTERNET handles[3];
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_aborted = true;
        handles[0] = m_request;
        handles[1] = m_connection;
        handles[2] = m_internet;
        m_request = m_connection = m_internet = nullptr;
    }
    // Closing reads on for as long as the server sends, so only a few closers
    // run at once; past them a request stays open, unread, until the process
    // ends, and the server's flow control holds its body back meanwhile.
    static std::atomic<int> closers{0};
    if (closers.fetch_add(1) >= kMostClosers) {
        closers.fetch_sub(1);
        return;
    }
    try {
        std::thread([handles] {
            for (HINTERNET handle : handles)
                if (handle)
                    InternetCloseHandle(handle);
            closers.fetch_sub(1);
        }).detach();
    } catch (...) {
        closers.fetch_sub(1); // no thread to be had: the request stays open
    }
}

void HttpTransfer::Reset()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_aborted)
            return;
        InternetSetOptionW(m_internet, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
    }
    CloseRequest();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_internet)
            InternetCloseHandle(m_internet);
        m_internet = nullptr;
        OpenInternet();
    }
    SetTimeout(m_timeout);
    if (!m_host.empty())
        OpenRequest();
}

void HttpTransfer::Close()
{
    CloseRequest();
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_internet)
        InternetCloseHandle(m_internet);
    m_internet = nullptr;
}

bool HttpTransfer::Send(DWORD& status, const std::string& extraHeaders, bool twice)
{
    status = 0;
    if (OpenRequest() != 0)
        return false;
    const std::string headers = kRequestHeader + (extraHeaders.empty() ? "" : "\r\n" + extraHeaders);
    // A connection closed before any status line counts as a failed send:
    // some WinINet versions report it as a success with status 0.
    auto send = [this, &status, &headers] {
        HINTERNET request = Request();
        if (!request || !HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                          const_cast<char*>(""), 0))
            return false;
        DWORD statusSize = sizeof(status);
        return HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                              nullptr) &&
               status != 0;
    };
    if (!send()) {
        if (twice)
            Reset();
        if (!twice || !send()) {
            CloseRequest();
            return false;
        }
    }
    return true;
}

std::string HttpTransfer::Header(DWORD query)
{
    HINTERNET request = Request();
    char value[1024];
    DWORD size = sizeof value;
    if (!request || !HttpQueryInfoA(request, query, value, &size, nullptr))
        return std::string();
    return std::string(value, std::min<DWORD>(size, sizeof value));
}

bool HttpTransfer::Read(char* data, DWORD size, DWORD& got)
{
    got = 0;
    // Asking what has arrived first returns as soon as any byte has, where a
    // read of a whole buffer would wait for all of it: a crawling server is
    // seen crawling, and the receive time-out bounds any silence.
    HINTERNET request = Request();
    DWORD available = 0;
    if (!request || !InternetQueryDataAvailable(request, &available, 0, 0))
        return false;
    if (available == 0)
        return true;
    return InternetReadFile(request, data, std::min(available, size), &got) && got > 0;
}

unsigned long long ArchiveDeadlineMs(int64_t size)
{
    if (size < 0)
        return 0;
    // No archive needs more than 30 days; an absurd SIZE must not overflow the clock.
    constexpr uint64_t kLongestMs = 30ull * 24 * 3600 * 1000;
    const uint64_t seconds = static_cast<uint64_t>(size) / kArchiveFloorBytesPerSecond;
    if (seconds >= kLongestMs / 1000)
        return kLongestMs;
    return std::min<uint64_t>(kLongestMs, kArchiveGraceMs + seconds * 1000 +
                                              static_cast<uint64_t>(size) % kArchiveFloorBytesPerSecond * 1000 /
                                                  kArchiveFloorBytesPerSecond);
}

bool ParseContentRange(const std::string& text, ContentRange& range)
{
    // "bytes first-last/total", blanks allowed around the parts.
    const char* p = text.c_str();
    auto blanks = [&p] {
        while (*p == ' ' || *p == '\t')
            ++p;
    };
    auto number = [&p](uint64_t& value) {
        if (*p < '0' || *p > '9')
            return false;
        value = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (value > (std::numeric_limits<uint64_t>::max() - 9) / 10)
                return false;
            value = value * 10 + static_cast<uint64_t>(*p - '0');
        }
        return true;
    };
    blanks();
    if (_strnicmp(p, "bytes", 5) != 0)
        return false;
    p += 5;
    blanks();
    ContentRange parsed;
    if (!number(parsed.first) || *p++ != '-' || !number(parsed.last) || *p++ != '/')
        return false;
    if (*p == '*') {
        ++p;
    } else {
        if (!number(parsed.total))
            return false;
        parsed.totalKnown = true;
    }
    blanks();
    if (*p != '\0' || parsed.first > parsed.last || (parsed.totalKnown && parsed.last >= parsed.total))
        return false;
    range = parsed;
    return true;
}

ResumeDecision DecideResume(unsigned status, const std::string& contentRange, uint64_t offset, uint64_t knownEnd)
{
    if (status >= 400)
        return ResumeDecision::Fail;
    if (status != 206)
        return ResumeDecision::Restart;
    // Only the rest, up to the end of the body, continues what is kept.
    ContentRange range;
    if (!ParseContentRange(contentRange, range) || range.first != offset ||
        (range.totalKnown && range.last + 1 != range.total) || (knownEnd != 0 && range.last + 1 != knownEnd))
        return ResumeDecision::Fail;
    return offset == 0 ? ResumeDecision::Restart : ResumeDecision::Append;
}

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

namespace {

/// SHA-256 on a thread of its own, fed in blocks, so that hashing a body
/// overlaps its transfer instead of adding to it.
class BackgroundSha256 {
public:
    BackgroundSha256() : m_thread([this] { Run(); }) {}
    ~BackgroundSha256()
    {
        m_abandoned = true;
        Close();
    }
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    void Update(const char* data, size_t size)
    {
        m_pending.append(data, size);
        if (m_pending.size() >= kBlock)
            Flush();
    }
    /// The raw digest of everything given; "" when the platform failed.
    std::string Finish()
    {
        Flush();
        Close();
        return m_failed ? std::string() : m_hash.Finish();
    }

private:
    static constexpr size_t kBlock = 256 * 1024;
    static constexpr size_t kDepth = 8; // blocks waiting at most: memory stays flat

    void Flush()
    {
        if (m_pending.empty())
            return;
        std::unique_lock<std::mutex> hold(m_lock);
        m_space.wait(hold, [this] { return m_queue.size() < kDepth; });
        m_queue.push_back(std::move(m_pending));
        m_pending = std::string();
        m_pending.reserve(kBlock);
        m_ready.notify_one();
    }
    void Close()
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_closed)
                return;
            m_closed = true;
        }
        m_ready.notify_one();
        m_thread.join();
    }
    void Run()
    {
        for (;;) {
            std::string block;
            {
                std::unique_lock<std::mutex> hold(m_lock);
                m_ready.wait(hold, [this] { return !m_queue.empty() || m_closed; });
                if (m_queue.empty() || m_abandoned)
                    return;
                block = std::move(m_queue.front());
                m_queue.pop_front();
            }
            m_space.notify_one();
            if (!m_hash.Update(block.data(), block.size()))
                m_failed = true;
        }
    }

    Sha256 m_hash;
    std::string m_pending;
    std::deque<std::string> m_queue;
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::condition_variable m_space;
    bool m_closed = false;
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

/// What one attempt leaves for the next: the body's first bytes in
/// "<path>.part", the version of the body they belong to, and their hash.
struct PartialBody {
    uint64_t kept = 0;
    std::string validator; // ETag or Last-Modified of the answer that sent them
    uint64_t total = 0;    // the whole body's length as that answer gave it, 0 when it did not
    std::unique_ptr<BackgroundSha256> hash;
};

enum class AttemptResult {
    Done,
    Broken, // ended after part of the body: the next attempt may ask for the rest
    Failed,
};

uint64_t ParseLength(const std::string& text, bool& present)
{
    present = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    return present ? std::strtoull(text.c_str(), nullptr, 10) : 0;
}

/// Free bytes on the disk that holds path's folder; the largest value when unknown.
uint64_t FreeSpaceFor(const std::wstring& path)
{
    std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
    ULARGE_INTEGER available = {};
    if (folder.empty() || !GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
        return std::numeric_limits<uint64_t>::max();
    return available.QuadPart;
}

/// Ends a transfer that stalls (fewer than the options' bytes in a window,
/// waiting for the answer included) or whose progress asks to stop, even
/// while a WinINet call blocks: it aborts the transfer from its own thread.
class TransferWatch {
public:
    TransferWatch(HttpTransfer& transfer, const DownloadOptions& options)
        : m_transfer(transfer), m_options(options), m_window(std::max(1u, options.stallWindowMs)),
          m_markTime(Clock::now()), m_deadline(options.deadlineMs ? m_markTime + std::chrono::milliseconds(
                                                                                    options.deadlineMs)
                                                                  : Clock::time_point::max()),
          m_thread([this] { Watch(); })
    {
    }
    ~TransferWatch()
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_finished = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    /// Counts bytes that arrived; false once the transfer has stalled or is
    /// cancelled (also checked here: a crawl keeps a read returning, and not
    /// every WinINet ends a blocked read when its handle is closed).
    bool Received(uint64_t bytes)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_received += bytes;
        return Check();
    }
    bool Stalled() const { return m_stalled; }
    bool Cancelled() const { return m_cancelled; }

private:
    using Clock = std::chrono::steady_clock;

    // With m_lock held: the window rule over fixed windows, and the cancel.
    bool Check()
    {
        if (m_options.progress && m_options.progress->Cancelled())
            m_cancelled = true;
        const auto now = Clock::now();
        // A transfer past its overall limit has stalled, however it crawls.
        if (now >= m_deadline)
            m_stalled = true;
        if (!m_cancelled && now - m_markTime >= m_window) {
            if (m_received - m_markBytes < m_options.stallBytes)
                m_stalled = true;
            m_markTime = now;
            m_markBytes = m_received;
        }
        return !m_stalled && !m_cancelled;
    }

    void Watch()
    {
        auto step = std::min<Clock::duration>(m_window / 4, std::chrono::milliseconds(100));
        if (m_options.deadlineMs)
            step = std::min<Clock::duration>(step, std::chrono::milliseconds(std::max(1ull, m_options.deadlineMs / 4)));
        std::unique_lock<std::mutex> hold(m_lock);
        bool going = true;
        while (going && !m_wake.wait_for(hold, step, [this] { return m_finished; }))
            going = Check();
        if (!going)
            m_transfer.Abort();
    }

    HttpTransfer& m_transfer;
    const DownloadOptions& m_options;
    const std::chrono::milliseconds m_window;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_finished = false;
    uint64_t m_received = 0;
    Clock::time_point m_markTime;
    const Clock::time_point m_deadline;
    uint64_t m_markBytes = 0;
    std::atomic<bool> m_stalled{false};
    std::atomic<bool> m_cancelled{false};
    std::thread m_thread;
};

/// One GET of url into "<path>.part" and, once whole and checked, over path.
AttemptResult Attempt(const std::string& url, const std::wstring& file, const DownloadOptions& options,
                      PartialBody& partial)
{
    HttpTransfer transfer;
    transfer.SetTimeout(options.stallWindowMs);
    transfer.SetUrl(url);
    transfer.OpenRequest(); // a failure shows again, and counts, when sending
    TransferWatch watch(transfer, options);
    // A break before the answer keeps what earlier attempts left.
    auto broken = [&watch] { return watch.Cancelled() ? AttemptResult::Failed : AttemptResult::Broken; };

    const bool resuming = partial.kept > 0 && !partial.validator.empty();
    std::string rangeHeaders;
    if (resuming)
        rangeHeaders = "Range: bytes=" + std::to_string(partial.kept) + "-\r\nIf-Range: " + partial.validator + "\r\n";
    DWORD status = 0;
    if (!transfer.Send(status, rangeHeaders, options.sendTwice))
        return broken();
    // An error page is no download: the file keeps what it had.
    const std::string contentRange = transfer.Header(HTTP_QUERY_CONTENT_RANGE);
    const ResumeDecision decision =
        DecideResume(status, contentRange, resuming ? partial.kept : 0, resuming ? partial.total : 0);
    if (decision == ResumeDecision::Fail)
        return AttemptResult::Failed;

    const bool append = decision == ResumeDecision::Append;
    if (!append) {
        partial.kept = 0;
        partial.total = 0;
        partial.hash.reset();
    }
    const uint64_t offset = partial.kept;
    std::string validator = transfer.Header(HTTP_QUERY_ETAG);
    if (validator.empty())
        validator = transfer.Header(HTTP_QUERY_LAST_MODIFIED);
    if (!append)
        partial.validator = validator;

    // The whole body's length, when the server announced it.
    bool lengthKnown = false;
    const uint64_t length = ParseLength(transfer.Header(HTTP_QUERY_CONTENT_LENGTH), lengthKnown);
    // Chunks break the HTTP/1.0 the request asked for, and WinINet would end
    // them at a cut as at their last one: such a body cannot be known whole.
    if (!transfer.Header(HTTP_QUERY_TRANSFER_ENCODING).empty())
        return AttemptResult::Failed;
    bool totalKnown = lengthKnown;
    uint64_t total = totalKnown ? offset + length : 0;
    // A part ends where its Content-Range says, whatever framing it comes
    // in: a length that disagrees, or a body that stops short, is no whole file.
    ContentRange range;
    if (status == 206 && ParseContentRange(contentRange, range)) {
        if (lengthKnown && offset + length != range.last + 1)
            return AttemptResult::Failed;
        totalKnown = true;
        total = range.last + 1;
    }
    if (!append && totalKnown)
        partial.total = total;

    const uint64_t limit =
        options.maxBytes ? options.maxBytes : FreeSpaceFor(file) + (append ? partial.kept : 0);
    const bool sized = options.expectedSize >= 0;
    const uint64_t expected = sized ? static_cast<uint64_t>(options.expectedSize) : 0;
    // A body over its limit is left unread: closing the request would
    // otherwise read the rest to keep the connection.
    auto overLimit = [&] {
        if (options.overLimit)
            *options.overLimit = true;
        transfer.Abandon();
    };
    if (totalKnown && total > limit && options.maxBytes) {
        overLimit();
        return AttemptResult::Failed;
    }
    if (totalKnown && (total > limit || (sized && total != expected))) {
        transfer.Abandon();
        return AttemptResult::Failed;
    }

    AtomicFileWriter writer(file, kPartSuffix);
    if (!(append ? writer.OpenToAppend(partial.kept) : writer.Open()))
        return AttemptResult::Failed;
    const bool hashing = !options.expectedSha256.empty();
    if (hashing && !partial.hash)
        partial.hash.reset(new BackgroundSha256);

    // What has been written and hashed stays for a later attempt when the
    // transfer breaks; anything else the attempt ends with removes it.
    auto keep = [&] {
        partial.kept = writer.Size();
        writer.Keep();
        if (watch.Cancelled())
            return AttemptResult::Failed;
        return partial.validator.empty() ? AttemptResult::Failed : AttemptResult::Broken;
    };
    auto fail = [&] {
        partial.kept = 0;
        partial.hash.reset();
        writer.Discard();
        return AttemptResult::Failed;
    };

    std::unique_ptr<char[]> buffer(new char[kReadSize]);
    char* chunk = buffer.get();
    for (;;) {
        DWORD got = 0;
        if (!transfer.Read(chunk, kReadSize, got))
            return keep();
        if (got == 0)
            break;
        if (!watch.Received(got))
            return keep();
        const uint64_t received = writer.Size() + got;
        // A body that passes its limit, its size or the end its answer gave
        // (a part running past its Content-Range) is stopped at once.
        if (received > limit || (sized && received > expected) || (totalKnown && received > total)) {
            if (received > limit && options.maxBytes)
                overLimit();
            return fail();
        }
        if (!writer.Write(chunk, got))
            return fail();
        if (hashing)
            partial.hash->Update(chunk, got);
        if (options.progress) {
            options.progress->Received(received, total);
            if (options.progress->Cancelled())
                return fail();
        }
    }
    transfer.Close();
    if (watch.Cancelled())
        return fail();
    // A body shorter than its Content-Length is a broken transfer; so is one
    // without a length whose end came from the watch's abort.
    if (totalKnown ? writer.Size() < total : watch.Stalled())
        return keep();

    const uint64_t size = writer.Size();
    if ((sized && size != expected) ||
        (hashing && !DigestMatchesHex(partial.hash->Finish(), options.expectedSha256)))
        return fail();
    partial.kept = 0;
    partial.hash.reset();
    if (size < kMinimumFileSize) {
        writer.Discard();
        DeleteFileW(file.c_str());
        return AttemptResult::Failed;
    }
    return writer.Commit() ? AttemptResult::Done : AttemptResult::Failed;
}

bool Download(const std::string& url, const std::string& path, const DownloadOptions& options, int attempts)
{
    const std::wstring file = WideFromUtf8(path);
    if (options.overLimit)
        *options.overLimit = false;
    PartialBody partial;
    bool done = false;
    for (int attempt = 0; attempt < attempts && !done; ++attempt) {
        if (options.progress && options.progress->Cancelled())
            break;
        done = Attempt(url, file, options, partial) == AttemptResult::Done;
        if (options.overLimit && *options.overLimit)
            break;
    }
    DeleteFileW((file + kPartSuffix).c_str());
    return done;
}

RangeResult FetchOneRange(const std::string& url, uint64_t first, uint64_t last, std::string& body,
                          const DownloadOptions& options)
{
    body.clear();
    HttpTransfer transfer;
    transfer.SetTimeout(options.stallWindowMs);
    transfer.SetUrl(url);
    transfer.OpenRequest();
    TransferWatch watch(transfer, options);
    DWORD status = 0;
    // A range that got no answer is not asked for again: the whole file is
    // the better road then.
    if (!transfer.Send(status, "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last) + "\r\n",
                       false))
        return RangeResult::Failed;
    // An answer given up before its end is left unread: closing the request
    // would otherwise read the rest (a whole archive, or an endless body) on
    // this thread to keep the connection.
    auto giveUp = [&transfer](RangeResult result) {
        transfer.Abandon();
        return result;
    };
    if (status == 200)
        return giveUp(RangeResult::WholeFile);
    ContentRange range;
    if (status != 206 || !ParseContentRange(transfer.Header(HTTP_QUERY_CONTENT_RANGE), range) ||
        range.first != first || range.last != last || !transfer.Header(HTTP_QUERY_TRANSFER_ENCODING).empty())
        return giveUp(RangeResult::Failed);
    const uint64_t length = last - first + 1;
    bool lengthKnown = false;
    if (ParseLength(transfer.Header(HTTP_QUERY_CONTENT_LENGTH), lengthKnown) != length && lengthKnown)
        return giveUp(RangeResult::Failed);
    body.reserve(static_cast<size_t>(length));
    std::unique_ptr<char[]> buffer(new char[kReadSize]);
    for (;;) {
        DWORD got = 0;
        if (!transfer.Read(buffer.get(), kReadSize, got))
            return RangeResult::Failed;
        if (got == 0)
            break;
        if (!watch.Received(got) || body.size() + got > length)
            return giveUp(RangeResult::Failed);
        body.append(buffer.get(), got);
        if (options.progress) {
            options.progress->Received(body.size(), length);
            if (options.progress->Cancelled())
                return giveUp(RangeResult::Failed);
        }
    }
    return body.size() == length && !watch.Cancelled() ? RangeResult::Received : RangeResult::Failed;
}

RangeResult FetchSeveralRanges(const std::string& url, const std::vector<ByteRange>& ranges,
                               std::vector<std::string>& bodies, const DownloadOptions& options)
{
    bodies.assign(ranges.size(), std::string());
    std::string asked;
    uint64_t rangeBytes = 0;
    for (const ByteRange& range : ranges) {
        asked += (asked.empty() ? "" : ",") + std::to_string(range.first) + "-" + std::to_string(range.last);
        rangeBytes += range.last - range.first + 1;
    }
    HttpTransfer transfer;
    transfer.SetTimeout(options.stallWindowMs);
    transfer.SetUrl(url);
    transfer.OpenRequest();
    TransferWatch watch(transfer, options);
    DWORD status = 0;
    if (!transfer.Send(status, "Range: bytes=" + asked + "\r\n", false))
        return RangeResult::Failed;
    auto giveUp = [&transfer](RangeResult result) {
        transfer.Abandon();
        return result;
    };
    if (status == 200)
        return giveUp(RangeResult::WholeFile);
    if (status != 206 || !transfer.Header(HTTP_QUERY_TRANSFER_ENCODING).empty())
        return giveUp(RangeResult::Failed);
    std::string boundary;
    if (!ByterangesBoundary(transfer.Header(HTTP_QUERY_CONTENT_TYPE), boundary)) {
        // A server that answers with one range (the first, or all of them
        // joined) sends no parts: ranges one at a time still work with it.
        ContentRange range;
        return giveUp(ParseContentRange(transfer.Header(HTTP_QUERY_CONTENT_RANGE), range) ? RangeResult::OneRange
                                                                                          : RangeResult::Failed);
    }
    bool lengthKnown = false;
    const uint64_t length = ParseLength(transfer.Header(HTTP_QUERY_CONTENT_LENGTH), lengthKnown);
    ByterangesReader reader(boundary, ranges);
    std::unique_ptr<char[]> buffer(new char[kReadSize]);
    uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!transfer.Read(buffer.get(), kReadSize, got))
            return RangeResult::Failed;
        if (got == 0)
            break;
        received += got;
        // The reader bounds what each part may hold beyond its range.
        if (!watch.Received(got) || (lengthKnown && received > length) || !reader.Feed(buffer.get(), got))
            return giveUp(RangeResult::Failed);
        if (options.progress) {
            options.progress->Received(reader.RangeBytes(), rangeBytes);
            if (options.progress->Cancelled())
                return giveUp(RangeResult::Failed);
        }
    }
    if (!reader.Complete() || watch.Cancelled() || (lengthKnown && received != length))
        return RangeResult::Failed;
    bodies = std::move(reader.Bodies());
    return RangeResult::Received;
}

} // namespace

RangeResult FetchRanges(const std::string& url, const std::vector<ByteRange>& ranges,
                        std::vector<std::string>& bodies, const DownloadOptions& options)
{
    try {
        if (ranges.empty())
            return RangeResult::Failed;
        for (size_t i = 0; i < ranges.size(); ++i)
            if (ranges[i].first > ranges[i].last || (i > 0 && ranges[i].first <= ranges[i - 1].last + 1))
                return RangeResult::Failed;
        if (ranges.size() == 1) {
            bodies.assign(1, std::string());
            return FetchOneRange(url, ranges[0].first, ranges[0].last, bodies[0], options);
        }
        return FetchSeveralRanges(url, ranges, bodies, options);
    } catch (...) {
        return RangeResult::Failed;
    }
}

RangeResult FetchRange(const std::string& url, uint64_t first, uint64_t last, std::string& body,
                       const DownloadOptions& options)
{
    try {
        if (first > last)
            return RangeResult::Failed;
        return FetchOneRange(url, first, last, body, options);
    } catch (...) {
        return RangeResult::Failed;
    }
}

bool DownloadToFile(const std::string& url, const std::string& path, const DownloadOptions& options)
{
    // Nothing a server sends may end the program: any failure is a failed download.
    try {
        return Download(url, path, options, 1);
    } catch (...) {
        return false;
    }
}

bool DownloadWithResume(const std::string& url, const std::string& path, const DownloadOptions& options)
{
    try {
        return Download(url, path, options, 2);
    } catch (...) {
        return false;
    }
}
