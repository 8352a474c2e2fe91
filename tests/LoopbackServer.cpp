// The loopback server's socket loop: each connection's request read, handed
// to the handler and recorded, and its answer sent.
#include "tests/LoopbackServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace testing_support {

namespace {

struct WinsockUser {
    WinsockUser()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

bool SendAll(SOCKET socket, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
        int got = send(socket, bytes.data() + sent, chunk, 0);
        if (got <= 0)
            return false;
        sent += static_cast<size_t>(got);
    }
    return true;
}

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

LoopbackServer::LoopbackServer(Handler handler) : m_handler(std::move(handler))
{
    static WinsockUser winsock;
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(m_listener, 16);
    int length = sizeof(address);
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer()
{
    m_stopping = true;
    closesocket(m_listener);
    if (m_thread.joinable())
        m_thread.join();
}

std::string LoopbackServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<HttpRequest> LoopbackServer::Requests() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
}

RefusingPort::RefusingPort()
{
    static WinsockUser winsock;
    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    if (m_socket != INVALID_SOCKET)
        closesocket(m_socket);
}

std::string RefusingPort::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void LoopbackServer::Serve()
{
    for (;;) {
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            return;
        Answer(client);
        closesocket(client);
    }
}

void LoopbackServer::Answer(SOCKET client)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        head.append(buffer, static_cast<size_t>(got));
    }
    HttpRequest request;
    std::istringstream lines(head.substr(0, head.find("\r\n\r\n")));
    std::string line;
    std::getline(lines, line);
    std::istringstream requestLine(line);
    requestLine >> request.method >> request.target >> request.version;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        size_t value = line.find_first_not_of(' ', colon + 1);
        request.headers[name] = value == std::string::npos ? "" : line.substr(value);
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requests.push_back(request);
    }
    HttpResponse response = m_handler(request);
    if (response.drop)
        return;
    if (response.silent) {
        HoldSilent(client);
        return;
    }
    std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
    const unsigned long long length = response.generatedSize ? response.generatedSize : response.body.size();
    if (response.chunked)
        reply += "Transfer-Encoding: chunked\r\n";
    else if (!response.closeDelimited)
        reply += "Content-Length: " + std::to_string(length) + "\r\n";
    reply += "Connection: close\r\n";
    for (const std::string& header : response.headers)
        reply += header + "\r\n";
    reply += "\r\n";
    SendAll(client, reply);

    // The body goes out piece by piece, each framed as a chunk when chunked,
    // so that a cut or a crawl can fall anywhere in it.
    const unsigned long long cut =
        response.cutAt >= 0 ? std::min<unsigned long long>(static_cast<unsigned long long>(response.cutAt), length)
                            : length;
    const size_t piece = response.pieceSize ? response.pieceSize : (1u << 16);
    std::string block;
    unsigned long long offset = 0;
    bool open = true;
    while (open && offset < cut && !m_stopping) {
        const size_t size = static_cast<size_t>(std::min<unsigned long long>(cut - offset, piece));
        if (response.generatedSize) {
            block.resize(size);
            for (size_t i = 0; i < size; ++i)
                block[i] = GeneratedByte(offset + i);
        } else {
            block.assign(response.body, static_cast<size_t>(offset), size);
        }
        if (response.chunked) {
            char header[20];
            snprintf(header, sizeof header, "%zx\r\n", size);
            block = header + block + "\r\n";
        }
        open = SendAll(client, block);
        if (open)
            m_bodyBytesSent += size;
        offset += size;
        if (open && response.pieceDelayMs > 0 && offset < cut)
            open = Pause(response.pieceDelayMs);
    }
    if (open && response.chunked && cut == length)
        SendAll(client, "0\r\n\r\n");
    if (response.stall)
        HoldSilent(client);
    shutdown(client, SD_SEND);
}

bool LoopbackServer::Pause(int milliseconds)
{
    for (int waited = 0; waited < milliseconds && !m_stopping; waited += 10)
        Sleep(static_cast<DWORD>(std::min(10, milliseconds - waited)));
    return !m_stopping;
}

void LoopbackServer::HoldSilent(SOCKET client)
{
    while (!m_stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait = {0, 20000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0)
            return;
        if (ready > 0) {
            char byte;
            if (recv(client, &byte, 1, 0) <= 0)
                return; // the client closed the connection
        }
    }
}

std::string GeneratedBody(size_t size)
{
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i)
        body[i] = GeneratedByte(i);
    return body;
}

HttpResponse RangeAnswer(const HttpRequest& request, const std::string& body, const std::string& etag)
{
    HttpResponse response;
    response.headers.push_back("ETag: " + etag);
    auto range = request.headers.find("range");
    auto ifRange = request.headers.find("if-range");
    // Every "first-last" or "first-" of the list, each within the body.
    std::vector<std::pair<unsigned long long, unsigned long long>> ranges;
    bool valid = range != request.headers.end() && range->second.compare(0, 6, "bytes=") == 0 &&
                 (ifRange == request.headers.end() || ifRange->second == etag);
    for (size_t at = 6; valid && at <= range->second.size();) {
        size_t comma = range->second.find(',', at);
        if (comma == std::string::npos)
            comma = range->second.size();
        unsigned long long first = 0, last = body.size() - 1;
        const std::string spec = range->second.substr(at, comma - at);
        valid = sscanf(spec.c_str(), "%llu-%llu", &first, &last) >= 1 && first < body.size() && first <= last;
        ranges.push_back({first, std::min<unsigned long long>(last, body.size() - 1)});
        at = comma + 1;
    }
    if (!valid || ranges.empty()) {
        response.body = body;
        return response;
    }
    response.status = 206;
    auto contentRange = [&body](const std::pair<unsigned long long, unsigned long long>& part) {
        return "Content-Range: bytes " + std::to_string(part.first) + "-" + std::to_string(part.second) + "/" +
               std::to_string(body.size());
    };
    if (ranges.size() == 1) {
        response.body = body.substr(static_cast<size_t>(ranges[0].first),
                                    static_cast<size_t>(ranges[0].second - ranges[0].first + 1));
        response.headers.push_back(contentRange(ranges[0]));
        return response;
    }
    // Several ranges: one part each, in the order asked, as web servers send them.
    const std::string boundary = "3d6b6a416f9b5";
    response.headers.push_back("Content-Type: multipart/byteranges; boundary=" + boundary);
    for (const auto& part : ranges) {
        response.body += "\r\n--" + boundary + "\r\nContent-Type: application/zip\r\n" + contentRange(part) +
                         "\r\n\r\n";
        response.body += body.substr(static_cast<size_t>(part.first), static_cast<size_t>(part.second - part.first + 1));
    }
    response.body += "\r\n--" + boundary + "--\r\n";
    return response;
}

LoopbackServer::Handler StaticFiles(const std::map<std::string, std::string>& files)
{
    return [files](const HttpRequest& request) {
        std::string path = request.target;
        size_t scheme = path.find("://");
        if (scheme != std::string::npos)
            path = path.substr(path.find('/', scheme + 3));
        auto it = files.find(path);
        HttpResponse response;
        if (it == files.end()) {
            response.status = 404;
            response.body = "<html><body>404 Not Found</body></html>";
        } else {
            response.body = it->second;
        }
        return response;
    };
}

} // namespace testing_support
