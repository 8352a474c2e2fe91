// Two costs of the catalogue: DownloadToFile of a 64 MB body from a loopback
// server against a plain Winsock read of the same body, and the parse of a
// 5,000-section index against reading the same file's bytes. Prints ratios
// measured in this run.
#include "catalogue/Catalogue.h"
#include "net/HttpTransfer.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <ws2tcpip.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

using namespace testing_support;

namespace {

double Seconds(const std::function<void()>& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The floor: one socket, one request, every byte received and dropped.
size_t PlainRead(int port, const std::string& path)
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

class NullSink : public CatalogueSink {
public:
    void SetStatusText(const std::string&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void ResetServers() override {}
    void AddServer(const std::wstring&) override {}
    void SelectServer(int) override {}
    void SetInstalledCount(int) override {}
    void RequestRefill() override {}
    void CatalogueReady() override {}
    void ThumbnailDownloaded(const std::string&, const std::string&) override {}
};

} // namespace

int main()
{
    TempDir dir;
    const std::string body(64 * 1024 * 1024, 'b');
    LoopbackServer server(StaticFiles({{"/big.zip", body}}));
    // One warm-up each, then the better of three runs.
    PlainRead(server.Port(), "/big.zip");
    DownloadToFile(server.Url("/big.zip"), dir.Narrow() + "big.zip");
    double plain = 1e9, download = 1e9;
    for (int i = 0; i < 3; ++i) {
        plain = std::min(plain, Seconds([&] { PlainRead(server.Port(), "/big.zip"); }));
        download = std::min(download, Seconds([&] { DownloadToFile(server.Url("/big.zip"), dir.Narrow() + "big.zip"); }));
    }
    printf("64 MB body: DownloadToFile %.3f s, plain Winsock read %.3f s, ratio %.2f\n", download, plain,
           download / plain);

    {
        // Peak memory of a download against its body size: flat, whatever the size.
        constexpr unsigned long long kHuge = 256ull * 1024 * 1024;
        LoopbackServer huge([](const HttpRequest&) {
            HttpResponse response;
            response.generatedSize = kHuge;
            return response;
        });
        PROCESS_MEMORY_COUNTERS before = {}, after = {};
        before.cb = after.cb = sizeof(before);
        GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
        bool ok = DownloadToFile(huge.Url("/huge.zip"), dir.Narrow() + "huge.zip");
        GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
        double growth = static_cast<double>(after.PeakPagefileUsage - before.PeakPagefileUsage);
        printf("download peak memory, 256 MB body%s: %.1f MB above the start; body %.0f MB; memory/body x%.3f\n",
               ok ? "" : " (FAILED)", growth / 1048576.0, kHuge / 1048576.0, growth / kHuge);
    }

    std::string index = "[PATHS]\r\nBASE=http://files.example/sw/\r\n";
    for (int i = 0; i < 5000; ++i) {
        std::string name = "PROG" + std::to_string(i);
        index += "[" + name + "]\r\nSW_TYPE=" + std::to_string(i % 7 == 0 ? 100 : 0) + "\r\nTITOLO=Programma " + name +
                 "\r\nDESCR=Descrizione del programma " + name + " con qualche parola in piu\r\nBUILD_DISP=" +
                 std::to_string(i % 50) + "\r\nCAT=Categoria " + std::to_string(i % 12) + "\r\nTHUMB=img/" + name +
                 ".png\r\nTO_EXECUTE=" + name + ".exe\r\nCHANGELOG_FILE=" + name + "/changes.txt\r\nDEPS=LIB1,LIB2\r\n\r\n";
    }
    WriteBytes(dir / L"sw_index.dat", index);
    std::string indexFile = dir.Narrow() + "sw_index.dat";
    LauncherState state;
    NullSink sink;
    double parse = 1e9, read = 1e9;
    for (int i = 0; i < 3; ++i) {
        parse = std::min(parse, Seconds([&] { BuildCatalogue(state, indexFile, sink); }));
        read = std::min(read, Seconds([&] { ReadBytes(dir / L"sw_index.dat"); }));
    }
    printf("5,000-section index (%.1f MB, %zu records): parse %.4f s, read of the bytes %.4f s, ratio %.1f\n",
           index.size() / 1e6, state.m_catalogue.size(), parse, read, parse / read);
    return 0;
}
