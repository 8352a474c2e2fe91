// The launcher's one network operation: fetch a URL with an HTTP GET over
// WinINet and store the whole body in a local file.
#pragma once

#include "net/ProxyConfig.h"
#include "net/UrlParts.h"

#include <windows.h>

#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

/// Where a download reports the bytes it received, and is told to stop.
class DownloadProgress {
public:
    virtual ~DownloadProgress() = default;
    /// received of total bytes so far (total 0 when the server did not say).
    virtual void Received(uint64_t received, uint64_t total) = 0;
    /// True once the download must end (the window is closing); the attempt fails.
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
};

/// Fetches url into the file at path. True when the body was received whole
/// with a status below 400, matched options, was written, and the file holds
/// at least 10 bytes. On false the file is untouched (the transfer failed, or
/// the body could not be stored) or removed (it was too short). Memory use
/// does not grow with the body's size.
bool DownloadToFile(const std::string& url, const std::string& path, const DownloadOptions& options = {});

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
