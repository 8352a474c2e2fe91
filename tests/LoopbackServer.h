// A small HTTP server on 127.0.0.1 inside the test program, answering each
// request from a scripted handler and recording what it received.
#pragma once

#include <winsock2.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct HttpRequest {
    std::string method;
    std::string target;                         // as sent: a path, or an absolute URL through a proxy
    std::map<std::string, std::string> headers; // names lower-cased
};

struct HttpResponse {
    int status = 200;
    std::string body;
    std::vector<std::string> headers; // extra "Name: value" lines
    bool drop = false;                // close the connection without answering
};

class LoopbackServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit LoopbackServer(Handler handler);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_port; }
    /// "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path) const;
    std::vector<HttpRequest> Requests() const;

    /// A port on 127.0.0.1 that nothing listens on.
    static int UnusedPort();

private:
    void Serve();
    void Answer(SOCKET client);

    Handler m_handler;
    SOCKET m_listener = INVALID_SOCKET;
    int m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::vector<HttpRequest> m_requests;
};

/// Serves fixed bodies by path ("/a" -> body); anything else is a 404 page.
LoopbackServer::Handler StaticFiles(const std::map<std::string, std::string>& files);

} // namespace testing_support
