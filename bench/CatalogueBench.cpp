// Costs of the catalogue and its downloads: DownloadToFile of a 64 MB body
// from a loopback server (floor: bare WinINet with the same call shape,
// 8191-byte reads and the same flags, writing the same file; limit: a plain
// Winsock read); the same body with its SHA-256 checked (floor: the unchecked
// download); the bytes a 64 MB archive cut at 60 % costs with its resumed
// second attempt (floor and limit: the archive's size); and the parse of a
// 5,000-section index into the catalogue's records, and into its sections
// alone (floor and limit: one read of the file's bytes). Also the
// peak memory of a 256 MB download against the body's size.
#include "bench/PlainRead.h"
#include "tests/QuietCatalogueSink.h"
#include "bench/Report.h"
#include "catalogue/Catalogue.h"
#include "format/IndexSections.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <wininet.h>
#include <ws2tcpip.h>

#include <psapi.h>

#include <cstdio>

using namespace testing_support;

namespace {

// The design's floor: one WinINet session, connection and request with the
// launcher's flags, the body read 8191 bytes at a time into a file.
void BareWinInet(int port, const std::string& path, const std::wstring& file)
{
    HINTERNET internet = InternetOpenA("MORVGis", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(port), "", "",
                                            INTERNET_SERVICE_HTTP, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    const char* accept[] = {"*/*", nullptr};
    HINTERNET request = HttpOpenRequestA(connection, nullptr, path.c_str(), nullptr, nullptr, accept,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                             INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_PRAGMA_NOCACHE,
                                         0);
    static const char header[] = "Content-Type: application/octet-stream";
    HttpSendRequestA(request, header, sizeof(header) - 1, const_cast<char*>(""), 0);
    HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    char chunk[8191];
    DWORD got = 0;
    while (InternetReadFile(request, chunk, sizeof chunk, &got) && got > 0) {
        DWORD written = 0;
        WriteFile(out, chunk, got, &written, nullptr);
    }
    CloseHandle(out);
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(internet);
}

// Reading the index's bytes, the parse's floor: one read of the whole file
// into a buffer of its size.
std::string ReadWholeFile(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr))
        got = 0;
    bytes.resize(got);
    CloseHandle(file);
    return bytes;
}

} // namespace

int main()
{
    TempDir dir;
    // First, while nothing big is held yet, so the peak is the download's own.
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
        printf("download peak memory, 256 MB body%s: %.1f MB above the start; memory/body x%.3f\n",
               ok ? "" : " (FAILED)", growth / 1048576.0, growth / kHuge);
    }

    const std::string body(64 * 1024 * 1024, 'b');
    LoopbackServer server(StaticFiles({{"/big.zip", body}}));
    // The same body with its SIZE and SHA-256 checked while it streams: its
    // floor is the unchecked download, measured in the same rounds.
    DownloadOptions checked;
    checked.expectedSha256 = HexOf(Sha256Of(body));
    checked.expectedSize = static_cast<int64_t>(body.size());
    bool verifiedOk = true;
    const std::vector<Samples> downloads = Interleaved(
        kRounds, {[&] { DownloadToFile(server.Url("/big.zip"), dir.Narrow() + "big.zip"); },
                  [&] { BareWinInet(server.Port(), "/big.zip", dir / L"bare.zip"); },
                  [&] { PlainRead(server.Port(), "/big.zip"); },
                  [&] {
                      verifiedOk =
                          DownloadToFile(server.Url("/big.zip"), dir.Narrow() + "verified.zip", checked) && verifiedOk;
                  }});
    ReportLine("download 64 MB", downloads[0], downloads[1], downloads[2]);
    ReportLine(verifiedOk ? "verified download 64 MB" : "verified download 64 MB (FAILED)", downloads[3], downloads[0],
               downloads[2]);

    {
        // The archive breaks at 60 % on the first attempt of each download;
        // the second asks for the rest.
        const std::string archive = GeneratedBody(body.size());
        bool first = true;
        LoopbackServer ranged([&](const HttpRequest& request) {
            HttpResponse response = RangeAnswer(request, archive, "\"bench\"");
            if (first)
                response.cutAt = static_cast<long long>(archive.size() * 6 / 10);
            first = false;
            return response;
        });
        DownloadOptions whole;
        whole.expectedSha256 = HexOf(Sha256Of(archive));
        bool ok = true;
        Samples sent, size;
        for (int round = 0; round < kRounds; ++round) {
            first = true;
            const unsigned long long before = ranged.BodyBytesSent();
            ok = DownloadWithResume(ranged.Url("/archive.zip"), dir.Narrow() + "archive.zip", whole) && ok;
            sent.values.push_back(static_cast<double>(ranged.BodyBytesSent() - before));
            size.values.push_back(static_cast<double>(archive.size()));
        }
        ReportBytesLine(ok ? "resumed download 64 MB cut at 60%" : "resumed download 64 MB cut at 60% (FAILED)", sent,
                        size, size);
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
    const std::string indexFile = dir.Narrow() + "sw_index.dat";
    LauncherState state;
    QuietCatalogueSink sink;
    // Parse and read take turns, more rounds than elsewhere: each lasts a few milliseconds.
    // The catalogue built (records with their texts, categories, thumbnails)
    // and, beside it, the index read into its sections alone.
    size_t sections = 0;
    const std::vector<Samples> parse = Interleaved(
        3 * kRounds, {[&] { BuildCatalogue(state, indexFile, sink); }, [&] { ReadWholeFile(dir / L"sw_index.dat"); },
                      [&] {
                          IndexSections read;
                          read.Read(dir / L"sw_index.dat");
                          sections = read.Count();
                      }});
    ReportLine("index parse " + std::to_string(state.m_catalogue.size()) + " sections", parse[0], parse[1], parse[1]);
    ReportLine("index read into sections, " + std::to_string(sections) + " sections", parse[2], parse[1], parse[1]);
    return 0;
}
