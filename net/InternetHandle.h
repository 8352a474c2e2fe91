// HttpTransfer: the WinINet session, connection and request of one HTTP GET,
// with the proxy of the settings file, time-outs, and the ways to end it from
// another thread (Abort) or leave it to close on its own (Abandon).
#pragma once

#include "net/ProxyConfig.h"

#include <windows.h>

#include <wininet.h>

#include <mutex>
#include <string>

/// One WinINet internet handle, connection and request, with the proxy taken
/// from the settings file when the transfer is created.
class HttpTransfer {
public:
    HttpTransfer();
    /// A transfer of url with the given connect, send and receive time-out,
    /// its request opened (a failure to open shows again, and counts, when
    /// sending).
    HttpTransfer(const std::string& url, unsigned timeoutMs);
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    /// Connect, send and receive time-outs for every handle opened from now.
    void SetTimeout(unsigned milliseconds);
    void SetUrl(const std::string& url);
    /// Opens the connection and request unless open. 0 on success, 1 when the
    /// connection cannot be opened (or the transfer was aborted), 2 when the
    /// request cannot be opened.
    int OpenRequest();

    /// Sends the request as HTTP/1.0 (which a server may not answer in
    /// chunks) with a Content-Type line and extraHeaders ("Name: value" lines, each ending
    /// in CR LF), resetting the session and sending once more after a failed
    /// send when twice is set. status receives the HTTP status; an answer
    /// without one is a failed send.
    bool Send(DWORD& status, const std::string& extraHeaders = std::string(), bool twice = true);
    /// A response header (HTTP_QUERY_*) as text; "" when absent.
    std::string Header(DWORD query);
    /// The buffer size the body is read with.
    static constexpr DWORD kReadSize = 65536;
    /// Reads up to size bytes of the body after Send, returning as soon as
    /// any have arrived. False when the read
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
