#include "tests/LoopbackServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
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

void SendAll(SOCKET socket, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
        int got = send(socket, bytes.data() + sent, chunk, 0);
        if (got <= 0)
            return;
        sent += static_cast<size_t>(got);
    }
}

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
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
    requestLine >> request.method >> request.target;
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
    std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
    const unsigned long long length = response.generatedSize ? response.generatedSize : response.body.size();
    reply += "Content-Length: " + std::to_string(length) + "\r\n";
    reply += "Connection: close\r\n";
    for (const std::string& header : response.headers)
        reply += header + "\r\n";
    reply += "\r\n";
    SendAll(client, reply);
    SendAll(client, response.body);
    std::string block;
    for (unsigned long long offset = 0; offset < response.generatedSize; offset += block.size()) {
        block.resize(static_cast<size_t>(std::min<unsigned long long>(response.generatedSize - offset, 1 << 16)));
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = GeneratedByte(offset + i);
        if (response.blockPause)
            Sleep(response.blockPause);
        if (send(client, block.data(), static_cast<int>(block.size()), 0) != static_cast<int>(block.size()))
            break;
    }
    shutdown(client, SD_SEND);
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
