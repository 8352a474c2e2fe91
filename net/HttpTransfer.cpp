#include "net/HttpTransfer.h"

#include "store/AtomicFile.h"
#include "store/Text.h"


namespace {

const char kAgent[] = "MORVGis";
const char kRequestHeader[] = "Content-Type: application/octet-stream";
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE;
constexpr DWORD kReadSize = 8191;
constexpr size_t kMinimumFileSize = 10;

} // namespace

HttpTransfer::HttpTransfer() : m_proxy(ReadActiveProxy()) { OpenInternet(); }

HttpTransfer::~HttpTransfer() { Close(); }

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
    if (m_request)
        return 0;
    m_connection = InternetConnectA(m_internet, m_host.c_str(), static_cast<INTERNET_PORT>(m_port), "", "",
                                    INTERNET_SERVICE_HTTP, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (!m_connection)
        return 1;
    if (!m_proxy.address.empty()) {
        InternetSetOptionA(m_connection, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>(m_proxy.user.c_str()),
                           static_cast<DWORD>(m_proxy.user.size() + 1));
        InternetSetOptionA(m_connection, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char*>(m_proxy.password.c_str()),
                           static_cast<DWORD>(m_proxy.password.size() + 1));
    }
    const char* acceptTypes[] = {"*/*", nullptr};
    m_request = HttpOpenRequestA(m_connection, nullptr, m_objectName.c_str(), nullptr, nullptr, acceptTypes,
                                 kRequestFlags | (m_secure ? INTERNET_FLAG_SECURE : 0), 0);
    return m_request ? 0 : 2;
}

void HttpTransfer::CloseRequest()
{
    if (m_request)
        InternetCloseHandle(m_request);
    if (m_connection)
        InternetCloseHandle(m_connection);
    m_request = nullptr;
    m_connection = nullptr;
}

void HttpTransfer::Reset()
{
    InternetSetOptionW(m_internet, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
    CloseRequest();
    if (m_internet)
        InternetCloseHandle(m_internet);
    m_internet = nullptr;
    OpenInternet();
    if (!m_host.empty())
        OpenRequest();
}

void HttpTransfer::Close()
{
    CloseRequest();
    if (m_internet)
        InternetCloseHandle(m_internet);
    m_internet = nullptr;
}

bool HttpTransfer::Send(DWORD& status)
{
    status = 0;
    if (OpenRequest() != 0)
        return false;
    // A connection closed before any status line counts as a failed send:
    // some WinINet versions report it as a success with status 0.
    auto send = [this, &status] {
        if (!m_request || !HttpSendRequestA(m_request, kRequestHeader, sizeof(kRequestHeader) - 1,
                                            const_cast<char*>(""), 0))
            return false;
        DWORD statusSize = sizeof(status);
        return HttpQueryInfoA(m_request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                              nullptr) &&
               status != 0;
    };
    if (!send()) {
        Reset();
        if (!send()) {
            CloseRequest();
            return false;
        }
    }
    return true;
}

bool HttpTransfer::ReadBody(const BodySink& sink)
{
    bool stored = true;
    char chunk[kReadSize];
    for (;;) {
        DWORD got = 0;
        if (!m_request || !InternetReadFile(m_request, chunk, kReadSize, &got) || got == 0)
            break;
        if (!sink(chunk, got)) {
            stored = false;
            break;
        }
    }
    CloseRequest();
    return stored;
}

bool DownloadToFile(const std::string& url, const std::string& path, const DownloadOptions& options)
{
    (void)options; // checked downloads come next
    // Nothing a server sends may end the program: any failure is a failed download.
    try {
        HttpTransfer transfer;
        transfer.SetUrl(url);
        transfer.OpenRequest(); // a failure shows again, and counts, when sending

        DWORD status = 0;
        // An error page is no download: the file keeps what it had.
        if (!transfer.Send(status) || status >= 400)
            return false;

        // The body goes to disk as it arrives, so memory stays flat whatever
        // its size; the file is replaced only once it is whole. A file that
        // cannot be replaced (held open elsewhere) keeps its old content,
        // which must not pass for the new download.
        const std::wstring file = WideFromUtf8(path);
        AtomicFileWriter writer(file);
        if (!writer.Open())
            return false;
        if (!transfer.ReadBody([&writer](const char* data, size_t size) { return writer.Write(data, size); }))
            return false;
        if (writer.Size() < kMinimumFileSize) {
            writer.Discard();
            DeleteFileW(file.c_str());
            return false;
        }
        return writer.Commit();
    } catch (...) {
        return false;
    }
}
