// The physical limit of a download from the loopback server: one socket, one
// request, every byte received and dropped.
#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

/// Bytes received (headers included) for GET path from 127.0.0.1:port.
inline size_t PlainRead(int port, const std::string& path)
{
    SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return 0;
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(connection, request.data(), static_cast<int>(request.size()), 0);
    std::vector<char> buffer(1 << 16);
    size_t total = 0;
    int got;
    while ((got = recv(connection, buffer.data(), static_cast<int>(buffer.size()), 0)) > 0)
        total += static_cast<size_t>(got);
    closesocket(connection);
    return total;
}
