// HttpTransfer: opens the WinINet session (through the active proxy, if any),
// connection and HTTP/1.0 request, sends it once or twice, reads the answer's
// headers and body, and ends it on request.
#include "net/InternetHandle.h"

#include "net/UrlParts.h"

#include <algorithm>
#include <atomic>
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
// Threads that may be closing abandoned requests at once (HttpTransfer::Abandon).
constexpr int kMostClosers = 4;

} // namespace

HttpTransfer::HttpTransfer() : m_proxy(ReadActiveProxy()) { OpenInternet(); }

HttpTransfer::HttpTransfer(const std::string& url, unsigned timeoutMs) : HttpTransfer()
{
    SetTimeout(timeoutMs);
    SetUrl(url);
    OpenRequest();
}

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
