#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "net/ProxyConfig.h"
#include "net/UrlParts.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <atomic>
#include <thread>
#include <cstdlib>

using namespace testing_support;

TEST(SplitUrl, SchemeHostPortPathAndQuery)
{
    UrlParts plain = SplitUrl("http://h/dir/file.dat");
    EXPECT_EQ("http", plain.scheme);
    EXPECT_EQ("h", plain.host);
    EXPECT_EQ(80, plain.port);
    EXPECT_EQ("/dir/file.dat", plain.ObjectName());
    EXPECT_FALSE(plain.Secure());

    UrlParts noScheme = SplitUrl("host.example/a/b");
    EXPECT_EQ("http", noScheme.scheme);
    EXPECT_EQ("host.example", noScheme.host);
    EXPECT_EQ("/a/b", noScheme.ObjectName());

    EXPECT_EQ("/", SplitUrl("http://h").ObjectName());
    EXPECT_EQ("h", SplitUrl("http://h").host);

    UrlParts withPort = SplitUrl("http://h:8080/a?b=1");
    EXPECT_EQ("h", withPort.host);
    EXPECT_EQ(8080, withPort.port);
    EXPECT_EQ("/a?b=1", withPort.ObjectName());
    EXPECT_EQ("/a", SplitUrl("http://h/a?").ObjectName());
    EXPECT_EQ(0, SplitUrl("http://h:x/a").port);
    EXPECT_EQ("/a?b=1?c", SplitUrl("http://h/a?b=1?c").ObjectName());

    UrlParts secure = SplitUrl("HTTPS://Host.EXAMPLE/Path/File");
    EXPECT_TRUE(secure.Secure());
    EXPECT_EQ("host.example", secure.host);
    EXPECT_EQ("/Path/File", secure.path) << "the path keeps its case";
    EXPECT_EQ(443, secure.port);
    EXPECT_EQ(8443, SplitUrl("https://h:8443/").port);
    EXPECT_FALSE(SplitUrl("ftp://h/x").Secure());
}

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

TEST(ContentRange, ParsedOnlyWhenItIsASatisfiedByteRange)
{
    ContentRange range;
    ASSERT_TRUE(ParseContentRange("bytes 600-999/1000", range));
    EXPECT_EQ(600u, range.first);
    EXPECT_EQ(999u, range.last);
    EXPECT_EQ(1000u, range.total);
    EXPECT_TRUE(range.totalKnown);
    ASSERT_TRUE(ParseContentRange(" BYTES 0-4294967296/*", range));
    EXPECT_EQ(4294967296u, range.last);
    EXPECT_FALSE(range.totalKnown);
    for (const char* bad : {"", "bytes */1000", "bytes 600-999/999", "bytes 600-599/1000", "items 0-1/2",
                            "bytes 600-999/1000x", "bytes -1-999/1000", "bytes 99999999999999999999-1/2"})
        EXPECT_FALSE(ParseContentRange(bad, range)) << bad;
}

TEST(ContentRange, AnswerDecidesAppendRestartOrFail)
{
    EXPECT_EQ(ResumeDecision::Append, DecideResume(206, "bytes 600-999/1000", 600));
    EXPECT_EQ(ResumeDecision::Append, DecideResume(206, "bytes 600-999/*", 600));
    EXPECT_EQ(ResumeDecision::Restart, DecideResume(200, "", 600)) << "the whole body, from the start";
    EXPECT_EQ(ResumeDecision::Restart, DecideResume(200, "", 0));
    EXPECT_EQ(ResumeDecision::Restart, DecideResume(206, "bytes 0-999/1000", 0));
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(206, "bytes 500-999/1000", 600)) << "another range";
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(206, "bytes 600-899/1000", 600)) << "not up to the end";
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(206, "", 600));
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(416, "bytes */1000", 600));
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(404, "", 0));
    // Where the first answer gave the length, the rest must end there.
    EXPECT_EQ(ResumeDecision::Append, DecideResume(206, "bytes 600-999/*", 600, 1000));
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(206, "bytes 600-1099/*", 600, 1000));
    EXPECT_EQ(ResumeDecision::Fail, DecideResume(206, "bytes 600-1099/1100", 600, 1000));
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

TEST(ProxyConfigFile, BlocksAreTrimmedAndTheLastOneWins)
{
    ProxySettings active = ParseProxyConfig("[INACTIVE_PROXY]\r\nold\r\nu0\r\np0\r\n  [PROXY]  \r\n addr \r\nu1\r\n");
    EXPECT_TRUE(active.active);
    EXPECT_EQ("addr", active.address);
    EXPECT_EQ("u1", active.user);
    EXPECT_EQ("", active.password) << "a block cut short leaves the rest empty";

    ProxySettings inactive = ParseProxyConfig("[INACTIVE_PROXY]\nhttp://p:1\nutente\xC3\xA8\npw\n");
    EXPECT_FALSE(inactive.active);
    EXPECT_EQ("http://p:1", inactive.address);
    EXPECT_EQ("utente\xC3\xA8", inactive.user);

    ProxySettings written = ParseProxyConfig(FormatProxyConfig(inactive));
    EXPECT_EQ(inactive.address, written.address);
    EXPECT_EQ(inactive.user, written.user);
    EXPECT_EQ(inactive.password, written.password);
    EXPECT_EQ("[PROXY]\r\na\r\nb\r\nc\r\n", FormatProxyConfig({true, "a", "b", "c"}));
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
