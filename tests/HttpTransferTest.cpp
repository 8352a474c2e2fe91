// Tests of downloads against a loopback server: whole bodies, limits and
// checks, progress and cancel, stalls, ranges, resume, retry and the proxy.
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "net/ProxyConfig.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <atomic>
#include <thread>
#include <cstdlib>

using namespace testing_support;

namespace {

class Download : public ::testing::Test {
protected:
    std::string Local(const std::wstring& name = L"out.dat") const { return Utf8FromWide(dir / name); }
    TempDir dir;
};

} // namespace

TEST_F(Download, BodiesBelowTenBytesFailAndLeaveNoFile)
{
    LoopbackServer server(StaticFiles({{"/0", ""}, {"/9", "123456789"}, {"/10", "1234567890"}}));
    EXPECT_FALSE(DownloadToFile(server.Url("/0"), Local(L"a")));
    EXPECT_FALSE(FileExists(dir / L"a"));
    EXPECT_FALSE(DownloadToFile(server.Url("/9"), Local(L"b")));
    EXPECT_FALSE(FileExists(dir / L"b"));
    EXPECT_TRUE(DownloadToFile(server.Url("/10"), Local(L"c")));
    EXPECT_EQ("1234567890", ReadBytes(dir / L"c"));
}

TEST_F(Download, RequestCarriesAgentHeaderAndObjectName)
{
    LoopbackServer server(StaticFiles({{"/dir/file.dat?v=2&x=y", "content of the file"}}));
    ASSERT_TRUE(DownloadToFile(server.Url("/dir/file.dat?v=2&x=y"), Local()));
    EXPECT_EQ("content of the file", ReadBytes(dir / L"out.dat"));
    std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    EXPECT_EQ("/dir/file.dat?v=2&x=y", requests[0].target);
    EXPECT_EQ("MORVGis", requests[0].headers["user-agent"]);
    EXPECT_EQ("application/octet-stream", requests[0].headers["content-type"]);
    EXPECT_NE(std::string::npos, requests[0].headers["pragma"].find("no-cache"));
}

// A big program's archive arrives whole, and the download's memory does not
// grow with it: a 32-bit process has no contiguous gigabyte to spare.
TEST_F(Download, HugeBodyArrivesWholeInFlatMemory)
{
    constexpr unsigned long long kSize = 300ull * 1024 * 1024;
    LoopbackServer server([](const HttpRequest&) {
        HttpResponse response;
        response.generatedSize = kSize;
        return response;
    });
    PROCESS_MEMORY_COUNTERS before = {};
    before.cb = sizeof(before);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));
    ASSERT_TRUE(DownloadToFile(server.Url("/big.zip"), Local()));
    PROCESS_MEMORY_COUNTERS after = {};
    after.cb = sizeof(after);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));
    const unsigned long long growth = after.PeakPagefileUsage - before.PeakPagefileUsage;
    EXPECT_LT(growth, 32ull * 1024 * 1024) << "peak private memory grew by " << growth << " bytes";

    HANDLE file = CreateFileW((dir / L"out.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::string block(1 << 20, '\0');
    unsigned long long offset = 0;
    bool same = true;
    DWORD got = 0;
    while (same && ReadFile(file, &block[0], static_cast<DWORD>(block.size()), &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got && same; ++i)
            same = block[i] == GeneratedByte(offset + i);
        offset += got;
    }
    CloseHandle(file);
    EXPECT_TRUE(same) << "content differs near offset " << offset;
    EXPECT_EQ(kSize, offset);
    EXPECT_FALSE(FileExists(dir / L"out.dat.tmp"));
}

TEST_F(Download, ErrorStatusIsAFailureAndKeepsTheEarlierFile)
{
    LoopbackServer server(StaticFiles({}));
    WriteBytes(dir / L"out.dat", "previous good copy");
    EXPECT_FALSE(DownloadToFile(server.Url("/missing.zip"), Local()));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
}

TEST_F(Download, UnreachableServerFailsAndKeepsTheEarlierFile)
{
    WriteBytes(dir / L"out.dat", "previous good copy");
    RefusingPort refusing;
    EXPECT_FALSE(DownloadToFile(refusing.Url("/x"), Local()));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
    EXPECT_FALSE(DownloadToFile("http://127.0.0.1:1/x", Local(L"missing\\folder\\f")));
}

// A transfer that ends before the body does, or a body that cannot be known
// whole, is a failed download: the earlier file stays and nothing is left
// beside it. A server that crawls is read to its announced end.
TEST_F(Download, BodyCutShortFailsAndKeepsTheEarlierFile)
{
    const std::string body = GeneratedBody(300120);
    LoopbackServer server([&body](const HttpRequest& request) {
        HttpResponse response;
        response.body = body;
        if (request.target == "/cut")
            response.cutAt = 150060;
        if (request.target == "/chunked" || request.target == "/chunked-cut") {
            response.chunked = true;
            response.pieceSize = 30012;
        }
        if (request.target == "/chunked-cut")
            response.cutAt = 150060;
        if (request.target == "/crawl") {
            response.body = body.substr(0, 3000);
            response.pieceSize = 7;
            response.pieceDelayMs = 1;
        }
        return response;
    });
    for (const char* path : {"/cut", "/chunked-cut", "/chunked"}) {
        WriteBytes(dir / L"out.dat", "previous good copy");
        EXPECT_FALSE(DownloadToFile(server.Url(path), Local())) << path;
        EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat")) << path;
        EXPECT_FALSE(FileExists(dir / L"out.dat.part")) << path;
    }
    EXPECT_EQ("HTTP/1.0", server.Requests().back().version) << "a request that chunks do not answer";
    ASSERT_TRUE(DownloadToFile(server.Url("/crawl"), Local()));
    EXPECT_EQ(body.substr(0, 3000), ReadBytes(dir / L"out.dat"));
}

// Limits stop a body as soon as it passes them; a size or hash that does not
// match fails the download and keeps the earlier file.
TEST_F(Download, LimitsSizeAndHashAreChecked)
{
    const std::string body = GeneratedBody(100000);
    LoopbackServer server(StaticFiles({{"/f", body}}));
    auto download = [&](const std::string& path, DownloadOptions options) {
        WriteBytes(dir / L"out.dat", "previous good copy");
        bool ok = DownloadToFile(server.Url(path), Local(), options);
        EXPECT_FALSE(FileExists(dir / L"out.dat.part"));
        return ok;
    };
    DownloadOptions options;
    options.maxBytes = 99999;
    EXPECT_FALSE(download("/f", options));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
    options.maxBytes = 100000;
    EXPECT_TRUE(download("/f", options));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));

    options = {};
    options.expectedSize = 99999;
    EXPECT_FALSE(download("/f", options));
    options.expectedSize = 100001;
    EXPECT_FALSE(download("/f", options));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
    options.expectedSize = 100000;
    EXPECT_TRUE(download("/f", options));

    options = {};
    options.expectedSha256 = HexOf(Sha256Of(body));
    EXPECT_TRUE(download("/f", options));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));
    std::string flipped = body;
    flipped[50000] ^= 1;
    options.expectedSha256 = HexOf(Sha256Of(flipped));
    EXPECT_FALSE(download("/f", options));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
}

// A body that never ends is stopped as soon as it passes its limit, whether
// the limit comes from the caller or from the expected size.
TEST_F(Download, EndlessBodyStopsAtItsLimit)
{
    LoopbackServer server([](const HttpRequest&) {
        HttpResponse response;
        response.generatedSize = 1ull << 30;
        response.closeDelimited = true;
        return response;
    });
    DownloadOptions options;
    options.maxBytes = 1 << 20;
    EXPECT_FALSE(DownloadToFile(server.Url("/endless"), Local(), options));
    options = {};
    options.expectedSize = 1 << 20;
    EXPECT_FALSE(DownloadToFile(server.Url("/endless"), Local(), options));
    EXPECT_LT(server.BodyBytesSent(), 64ull << 20) << "the client read on past its limit";
    EXPECT_FALSE(FileExists(dir / L"out.dat"));
}

namespace {

class RecordedProgress : public DownloadProgress {
public:
    void Received(uint64_t received, uint64_t total) override
    {
        last = received;
        lastTotal = total;
        ++calls;
    }
    bool Cancelled() const override { return calls >= cancelAfter; }
    std::atomic<uint64_t> last{0};
    uint64_t lastTotal = 0;
    std::atomic<int> calls{0};
    int cancelAfter = 1 << 30;
};

} // namespace

// Progress sees the bytes as they arrive; a cancel ends the transfer of a
// server that crawls on for ever.
TEST_F(Download, ProgressSeesTheBytesAndCancelEndsTheTransfer)
{
    const std::string body = GeneratedBody(100000);
    LoopbackServer server([&body](const HttpRequest& request) {
        HttpResponse response;
        response.body = body;
        if (request.target == "/crawl") {
            response.pieceSize = 1;
            response.pieceDelayMs = 20;
        }
        return response;
    });
    RecordedProgress progress;
    DownloadOptions options;
    options.progress = &progress;
    ASSERT_TRUE(DownloadToFile(server.Url("/f"), Local(), options));
    EXPECT_EQ(100000u, progress.last.load());
    EXPECT_EQ(100000u, progress.lastTotal);
    EXPECT_GT(progress.calls.load(), 1);

    RecordedProgress cancelling;
    cancelling.cancelAfter = 1;
    options.progress = &cancelling;
    WriteBytes(dir / L"out.dat", "previous good copy");
    EXPECT_FALSE(DownloadToFile(server.Url("/f"), Local(), options));
    EXPECT_FALSE(DownloadWithResume(server.Url("/f"), Local(), options));
    EXPECT_EQ(1, cancelling.calls.load()) << "a cancelled download is not tried again";

    // Without the cancel this crawl would take half an hour.
    RecordedProgress waiting;
    options.progress = &waiting;
    std::thread cancel([&waiting] {
        while (waiting.last < 10)
            Sleep(10);
        waiting.cancelAfter = 0;
    });
    EXPECT_FALSE(DownloadToFile(server.Url("/crawl"), Local(), options));
    cancel.join();
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
    EXPECT_FALSE(FileExists(dir / L"out.dat.part"));
}

// A server that never answers, stops after part of the body or crawls below
// the window's bytes fails the attempt; one that is slow but steady does not,
// unless it passes the transfer's overall time limit.
TEST_F(Download, StalledOrCrawlingServerFailsWithinTheWindow)
{
    const std::string body = GeneratedBody(40000);
    LoopbackServer server([&body](const HttpRequest& request) {
        HttpResponse response;
        response.body = body;
        if (request.target == "/silent")
            response.silent = true;
        if (request.target == "/stall") {
            response.cutAt = 5000;
            response.stall = true;
        }
        if (request.target == "/crawl") {
            response.pieceSize = 10;
            response.pieceDelayMs = 50;
        }
        if (request.target == "/steady") {
            response.pieceSize = 2000;
            response.pieceDelayMs = 20;
        }
        return response;
    });
    DownloadOptions options;
    options.stallWindowMs = 1000;
    for (const char* path : {"/silent", "/stall", "/crawl"}) {
        WriteBytes(dir / L"out.dat", "previous good copy");
        EXPECT_FALSE(DownloadToFile(server.Url(path), Local(), options)) << path;
        EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat")) << path;
    }
    ASSERT_TRUE(DownloadToFile(server.Url("/steady"), Local(), options));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));

    // Twenty pieces 20 ms apart cannot arrive within 100 ms.
    WriteBytes(dir / L"out.dat", "previous good copy");
    options.deadlineMs = 100;
    EXPECT_FALSE(DownloadToFile(server.Url("/steady"), Local(), options));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));

    EXPECT_EQ(0u, ArchiveDeadlineMs(-1)) << "no SIZE: the stall rule alone";
    EXPECT_EQ(kArchiveGraceMs, ArchiveDeadlineMs(0));
    EXPECT_EQ(kArchiveGraceMs + 512000u, ArchiveDeadlineMs(8 * 1024 * 1024));
}

// Several ranges come in one request and answer; a server that sends one
// range, or the whole file, is told apart, and one that does not answer is
// asked once.
TEST_F(Download, SeveralRangesInOneRequest)
{
    const std::string body = GeneratedBody(300000);
    std::atomic<int> silentRequests{0};
    LoopbackServer server([&](const HttpRequest& request) {
        HttpRequest asked = request;
        auto range = asked.headers.find("range");
        if (request.target == "/first-only" && range != asked.headers.end())
            range->second = range->second.substr(0, range->second.find(','));
        if (request.target == "/whole")
            asked.headers.clear();
        HttpResponse response = RangeAnswer(asked, body, "\"v1\"");
        if (request.target == "/wrong-part") {
            const size_t at = response.body.find("Content-Range: bytes 5000-");
            response.body.replace(at, 26, "Content-Range: bytes 5001-");
        }
        if (request.target == "/silent") {
            ++silentRequests;
            response.silent = true;
        }
        return response;
    });
    const std::vector<ByteRange> ranges = {{100, 199}, {5000, 5999}, {250000, 299999}};
    std::vector<std::string> bodies;
    struct Counter : DownloadProgress {
        void Received(uint64_t received, uint64_t total) override { seen.emplace_back(received, total); }
        std::vector<std::pair<uint64_t, uint64_t>> seen;
    } counter;
    DownloadOptions options;
    options.progress = &counter;
    ASSERT_EQ(RangeResult::Received, FetchRanges(server.Url("/f"), ranges, bodies, options));
    ASSERT_EQ(3u, bodies.size());
    for (size_t i = 0; i < ranges.size(); ++i)
        EXPECT_EQ(body.substr(ranges[i].first, ranges[i].last - ranges[i].first + 1), bodies[i]) << i;
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ("bytes=100-199,5000-5999,250000-299999", server.Requests()[0].headers.at("range"));
    ASSERT_FALSE(counter.seen.empty());
    EXPECT_EQ((std::pair<uint64_t, uint64_t>(51100, 51100)), counter.seen.back()) << "the ranges' bytes";

    EXPECT_EQ(RangeResult::OneRange, FetchRanges(server.Url("/first-only"), ranges, bodies));
    EXPECT_EQ(RangeResult::WholeFile, FetchRanges(server.Url("/whole"), ranges, bodies));
    EXPECT_EQ(RangeResult::Failed, FetchRanges(server.Url("/wrong-part"), ranges, bodies));
    EXPECT_EQ(RangeResult::Failed, FetchRanges(server.Url("/f"), {{100, 199}, {150, 299}}, bodies)) << "overlap";
    ASSERT_EQ(RangeResult::Received, FetchRanges(server.Url("/f"), {{7, 16}}, bodies)) << "one range, one part";
    EXPECT_EQ(body.substr(7, 10), bodies[0]);

    options.stallWindowMs = 500;
    for (const std::vector<ByteRange>& asked : {std::vector<ByteRange>{{0, 9}}, ranges}) {
        silentRequests = 0;
        EXPECT_EQ(RangeResult::Failed, FetchRanges(server.Url("/silent"), asked, bodies, options));
        EXPECT_EQ(1, silentRequests.load()) << asked.size() << " ranges that got no answer are not asked for again";
    }
}

// The second attempt asks only for what the first did not bring, tied to
// the first answer's version, and the file is checked as a whole.
TEST_F(Download, BrokenAttemptIsResumedFromWhereItStopped)
{
    const std::string body = GeneratedBody(300000);
    const std::string changed = GeneratedBody(300001).substr(1);
    std::atomic<int> calls{0};
    std::string mode;
    LoopbackServer server([&](const HttpRequest& request) {
        const bool first = calls++ % 2 == 0;
        HttpResponse response;
        if (mode == "last-modified") {
            response = RangeAnswer(request, body, "Tue, 08 Dec 2026 09:00:00 GMT");
            response.headers[0] = "Last-Modified: Tue, 08 Dec 2026 09:00:00 GMT";
        } else if (mode == "changed" && !first) {
            response = RangeAnswer(request, changed, "\"v2\"");
        } else if (mode == "no-ranges") {
            response.body = body;
            response.headers.push_back("ETag: \"v1\"");
        } else if (mode == "wrong-range" && !first) {
            response.status = 206;
            response.body = body.substr(100000);
            response.headers.push_back("Content-Range: bytes 100000-299999/300000");
        } else if (mode == "rest-cut" && !first) {
            // The rest without a length, cut: only its Content-Range says how long it is.
            response = RangeAnswer(request, body, "\"v1\"");
            response.closeDelimited = true;
            response.cutAt = 50000;
        } else if (mode == "rest-unknown-total" && !first) {
            // "/*" and no length: the server's close ends a rest that runs
            // past the length the first answer gave.
            response.status = 206;
            response.body = body.substr(180000) + "trailing bytes";
            response.headers.push_back("ETag: \"v1\"");
            response.headers.push_back("Content-Range: bytes 180000-" + std::to_string(body.size() + 13) + "/*");
            response.closeDelimited = true;
        } else if (mode == "rest-too-long" && !first) {
            // A Content-Range that ends where it must, and a body that runs on.
            response.status = 206;
            response.body = body.substr(180000) + "trailing bytes";
            response.headers.push_back("ETag: \"v1\"");
            response.headers.push_back("Content-Range: bytes 180000-299999/*");
            response.closeDelimited = true;
        } else if (mode == "rest-short" && !first) {
            // A length that ends the rest long before its Content-Range does.
            response.status = 206;
            response.body = body.substr(180000, 1000);
            response.headers.push_back("Content-Range: bytes 180000-299999/300000");
        } else {
            response = RangeAnswer(request, body, "\"v1\"");
        }
        if (first) {
            response.cutAt = 180000;
            response.stall = mode == "stall";
        }
        return response;
    });
    auto download = [&](const std::string& how, const std::string& sha256 = std::string()) {
        mode = how;
        calls = 0;
        WriteBytes(dir / L"out.dat", "previous good copy");
        DownloadOptions options;
        options.expectedSha256 = sha256;
        options.stallWindowMs = 1000;
        bool ok = DownloadWithResume(server.Url("/a.zip"), Local(), options);
        EXPECT_FALSE(FileExists(dir / L"out.dat.part")) << how;
        return ok;
    };
    const unsigned long long sentBefore = server.BodyBytesSent();
    ASSERT_TRUE(download("ranges", HexOf(Sha256Of(body))));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));
    EXPECT_EQ(body.size(), server.BodyBytesSent() - sentBefore) << "every byte sent once";
    std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(0u, requests[0].headers.count("range"));
    EXPECT_EQ("bytes=180000-", requests[1].headers["range"]);
    EXPECT_EQ("\"v1\"", requests[1].headers["if-range"]);

    ASSERT_TRUE(download("stall"));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));
    EXPECT_EQ("bytes=180000-", server.Requests().back().headers["range"]);

    ASSERT_TRUE(download("last-modified"));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));
    EXPECT_EQ("Tue, 08 Dec 2026 09:00:00 GMT", server.Requests().back().headers["if-range"]);

    ASSERT_TRUE(download("changed"));
    EXPECT_EQ(changed, ReadBytes(dir / L"out.dat")) << "a new version starts over";
    ASSERT_TRUE(download("no-ranges"));
    EXPECT_EQ(body, ReadBytes(dir / L"out.dat"));

    EXPECT_FALSE(download("wrong-range"));
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
    for (const char* shortRest : {"rest-cut", "rest-short"}) {
        EXPECT_FALSE(download(shortRest)) << shortRest << ": the rest ends before its Content-Range";
        EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat")) << shortRest;
    }
    // The first answer said 300000 bytes: a part that ends elsewhere, or runs
    // past its range, is no rest of that file.
    for (const char* longRest : {"rest-unknown-total", "rest-too-long"}) {
        EXPECT_FALSE(download(longRest)) << longRest;
        EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat")) << longRest;
    }
    EXPECT_FALSE(download("changed", HexOf(Sha256Of(body)))) << "the whole file is checked";
    EXPECT_EQ("previous good copy", ReadBytes(dir / L"out.dat"));
}

TEST_F(Download, TargetHeldOpenIsNotReportedAsDownloaded)
{
    LoopbackServer server(StaticFiles({{"/f", "the new content"}}));
    WriteBytes(dir / L"out.dat", "old content in use");
    HANDLE held = CreateFileW((dir / L"out.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    bool result = DownloadToFile(server.Url("/f"), Local());
    CloseHandle(held);
    EXPECT_FALSE(result);
    EXPECT_EQ("old content in use", ReadBytes(dir / L"out.dat"));
    EXPECT_FALSE(FileExists(dir / L"out.dat.tmp"));
}

TEST_F(Download, ConnectionDroppedOnceIsRetried)
{
    std::atomic<int> calls{0};
    LoopbackServer server([&](const HttpRequest&) {
        HttpResponse response;
        if (calls++ == 0)
            response.drop = true;
        else
            response.body = "served on the second try";
        return response;
    });
    EXPECT_TRUE(DownloadToFile(server.Url("/f"), Local()));
    EXPECT_EQ("served on the second try", ReadBytes(dir / L"out.dat"));
    EXPECT_EQ(2, calls.load());
}

namespace {

// Gives this test process an APPDATA of its own, so the proxy file it writes
// is seen by no other test.
class ProxyDownload : public Download {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("APPDATA");
        saved = old ? old : "";
        _putenv_s("APPDATA", appData.Narrow().substr(0, appData.Narrow().size() - 1).c_str());
    }
    void TearDown() override { _putenv_s("APPDATA", saved.c_str()); }
    void WriteProxyFile(const std::string& text) { WriteBytes(WideFromUtf8(ProxyConfigPath()), text); }

    TempDir appData;
    std::string saved;
};

} // namespace

TEST_F(ProxyDownload, ActiveBlockSendsProxyFormRequestsWithCredentials)
{
    LoopbackServer proxy([](const HttpRequest& request) {
        HttpResponse response;
        if (request.headers.count("proxy-authorization") == 0) {
            response.status = 407;
            response.headers.push_back("Proxy-Authenticate: Basic realm=\"test\"");
            response.body = "authentication required";
        } else {
            response.body = "through the proxy";
        }
        return response;
    });
    WriteProxyFile("[PROXY]\r\n  http://127.0.0.1:" + std::to_string(proxy.Port()) + " \r\n\tuser\r\nsecret\r\n");
    ASSERT_TRUE(DownloadToFile("http://catalogue.invalid/software/sw_index.dat", Local()));
    EXPECT_EQ("through the proxy", ReadBytes(dir / L"out.dat"));
    std::vector<HttpRequest> requests = proxy.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(0u, requests.back().target.find("http://catalogue.invalid")) << requests.back().target;
    EXPECT_EQ("Basic dXNlcjpzZWNyZXQ=", requests.back().headers["proxy-authorization"]);
}

TEST_F(ProxyDownload, InactiveBlockIsIgnored)
{
    LoopbackServer proxy(StaticFiles({}));
    LoopbackServer direct(StaticFiles({{"/f.dat", "straight from the server"}}));
    WriteProxyFile("[INACTIVE_PROXY]\r\nhttp://127.0.0.1:" + std::to_string(proxy.Port()) + "\r\nu\r\np\r\n");
    ASSERT_TRUE(DownloadToFile(direct.Url("/f.dat"), Local()));
    EXPECT_EQ(1u, direct.Requests().size());
    EXPECT_EQ("/f.dat", direct.Requests()[0].target);
    EXPECT_TRUE(proxy.Requests().empty());
}

TEST_F(ProxyDownload, ReadActiveProxyIgnoresInactiveBlocksAndMissingFiles)
{
    EXPECT_EQ("", ReadActiveProxy().address);
    WriteProxyFile("[INACTIVE_PROXY]\r\nhttp://p:1\r\nu\r\np\r\n");
    EXPECT_EQ("", ReadActiveProxy().address);
    WriteProxyFile("[INACTIVE_PROXY]\r\nhttp://p:1\r\nu\r\np\r\n[PROXY]\r\nhttp://q:2\r\nv\r\nw\r\n");
    ProxySettings settings = ReadActiveProxy();
    EXPECT_EQ("http://q:2", settings.address);
    EXPECT_EQ("v", settings.user);
    EXPECT_EQ("w", settings.password);
}
