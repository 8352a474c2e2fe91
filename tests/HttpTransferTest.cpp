#include "net/HttpTransfer.h"
#include "net/ProxyConfig.h"
#include "net/UrlParts.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <atomic>
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
