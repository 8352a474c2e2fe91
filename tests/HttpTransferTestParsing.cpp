// Tests of the net room's readers, without a server: URL splitting, the
// Content-Range and resume decisions, multipart/byteranges bodies and the
// proxy settings file.
#include "net/Byteranges.h"
#include "net/Download.h"
#include "net/HttpHeaders.h"
#include "net/ProxyConfig.h"
#include "net/UrlParts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>


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

// A multipart/byteranges body is read strictly however it is cut into
// reads: each part one of the ranges asked for, each once, in any order,
// the boundary the header names, nothing after the closing delimiter.
TEST(Byteranges, PartsAreTheRangesAskedForAndNothingElse)
{
    std::string boundary;
    ASSERT_TRUE(ByterangesBoundary("multipart/byteranges; boundary=3d6b6a416f9b5", boundary));
    EXPECT_EQ("3d6b6a416f9b5", boundary);
    ASSERT_TRUE(ByterangesBoundary("Multipart/ByteRanges;charset=x; boundary=\"a b'c\"", boundary));
    EXPECT_EQ("a b'c", boundary);
    for (const char* type : {"multipart/mixed; boundary=x", "multipart/byteranges", "multipart/byteranges; boundary=",
                             "multipart/byteranges; boundary=a; boundary=b", "multipart/byteranges; boundary=a\rb",
                             "application/zip"})
        EXPECT_FALSE(ByterangesBoundary(type, boundary)) << type;

    const std::vector<ByteRange> asked = {{0, 3}, {10, 14}, {20, 20}};
    auto part = [](const std::string& range, const std::string& data) {
        return "--XYZ\r\nContent-Type: application/zip\r\nContent-Range: bytes " + range + "/100\r\n\r\n" + data +
               "\r\n";
    };
    const std::string good = "\r\n" + part("10-14", "klmno") + part("0-3", "abcd") + part("20-20", "u") + "--XYZ--\r\n";
    // Fed whole, and a byte at a time.
    for (size_t piece : {good.size(), static_cast<size_t>(1)}) {
        ByterangesReader reader("XYZ", asked);
        bool fed = true;
        for (size_t at = 0; at < good.size() && fed; at += piece)
            fed = reader.Feed(good.data() + at, std::min(piece, good.size() - at));
        ASSERT_TRUE(fed) << piece;
        ASSERT_TRUE(reader.Complete()) << piece;
        EXPECT_EQ(10u, reader.RangeBytes());
        EXPECT_EQ((std::vector<std::string>{"abcd", "klmno", "u"}), reader.Bodies());
    }
    auto reads = [&asked](const std::string& body) {
        ByterangesReader reader("XYZ", asked);
        return reader.Feed(body.data(), body.size()) && reader.Complete();
    };
    EXPECT_TRUE(reads(part("0-3", "abcd") + part("10-14", "klmno") + part("20-20", "u") + "--XYZ--"));
    EXPECT_FALSE(reads(part("0-3", "abcd") + part("10-14", "klmno") + "--XYZ--\r\n")) << "a range missing";
    EXPECT_FALSE(reads(part("0-3", "abcd") + part("0-3", "abcd") + part("10-14", "klmno") + part("20-20", "u") +
                       "--XYZ--\r\n"))
        << "a part twice";
    EXPECT_FALSE(reads(part("0-4", "abcde") + part("10-14", "klmno") + part("20-20", "u") + "--XYZ--\r\n"))
        << "a part beyond a range";
    EXPECT_FALSE(reads(part("0-3", "abcd") + part("10-14", "klmno") + part("20-20", "u") + part("30-31", "ef") +
                       "--XYZ--\r\n"))
        << "a part outside them";
    EXPECT_FALSE(reads(part("0-3", "abcdX") + part("10-14", "klmno") + part("20-20", "u") + "--XYZ--\r\n"))
        << "more bytes than the range";
    std::string otherBoundary = good;
    for (size_t at; (at = otherBoundary.find("XYZ")) != std::string::npos;)
        otherBoundary.replace(at, 3, "XYW");
    EXPECT_FALSE(reads(otherBoundary)) << "the boundary is the header's";
    EXPECT_FALSE(reads(good + "more")) << "bytes after the end";
    EXPECT_FALSE(reads("preamble\r\n" + good));
    std::string noRange = good;
    noRange.replace(noRange.find("Content-Range: bytes 0-3/100"), 28, "X-Note: none");
    EXPECT_FALSE(reads(noRange)) << "a part without its range";
    EXPECT_FALSE(reads("\r\n--XYZ\r\nContent-Range: bytes 0-3/100\r\n" + std::string(5000, 'x'))) << "endless headers";
    ByterangesReader cut("XYZ", asked);
    EXPECT_TRUE(cut.Feed(good.data(), good.size() - 12));
    EXPECT_FALSE(cut.Complete()) << "a body cut short";
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
