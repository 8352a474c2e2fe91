// The launcher's one network operation: fetch a URL with an HTTP GET over
// WinINet and store the whole body in a local file.
#pragma once

#include "net/ProxyConfig.h"
#include "net/UrlParts.h"

#include <windows.h>

#include <wininet.h>

#include <functional>
#include <string>

/// Fetches url into the file at path. True when the body was received with a
/// status below 400, written, and the file holds at least 10 bytes. On false
/// the file is untouched (the transfer failed, or the body could not be
/// stored) or removed (it was too short). Memory use does not grow with the
/// body's size.
bool DownloadToFile(const std::string& url, const std::string& path);

/// One WinINet internet handle, connection and request, with the proxy taken
/// from the settings file when the transfer is created.
class HttpTransfer {
public:
    HttpTransfer();
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    void SetUrl(const std::string& url);
    /// 0 on success, 1 when the connection, 2 when the request cannot be opened.
    int OpenRequest();
    /// Receives the body piece by piece; false stops the transfer.
    using BodySink = std::function<bool(const char* data, size_t size)>;

    /// Sends the request, resetting and sending once more after a failed
    /// send. status receives the HTTP status.
    bool Send(DWORD& status);
    /// Reads the body after Send, 8191 bytes at a time, into sink, then
    /// closes the request. False when the sink refused a piece.
    bool ReadBody(const BodySink& sink);
    void Close();

private:
    void OpenInternet();
    void CloseRequest();
    void Reset();

    bool m_secure = false;
    std::string m_host;
    std::string m_scheme;
    int m_port = 80;
    std::string m_objectName;
    ProxySettings m_proxy;
    HINTERNET m_internet = nullptr;
    HINTERNET m_connection = nullptr;
    HINTERNET m_request = nullptr;
};
