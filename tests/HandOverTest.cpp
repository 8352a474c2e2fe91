#include "launcher/HandOver.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

TEST(ProtocolRequest, TokensWithEqualsBecomeUpperCasedKeyLines)
{
    EXPECT_EQ("SW_CODE=Abc\r\nX=1\r\n", ProtocolRequestFileText(L"morvindex:sw_code=Abc&x=1&y"));
    EXPECT_EQ("A=b\r\n", ProtocolRequestFileText(L"morvindex:a=b=c"));
    EXPECT_EQ("K=v\r\n", ProtocolRequestFileText(L"k=v"));
    EXPECT_EQ("", ProtocolRequestFileText(L"morvindex:"));
    EXPECT_EQ("", ProtocolRequestFileText(L"morvindex:&&"));
    // Only the first colon separates the scheme; nothing is decoded.
    EXPECT_EQ("URL=http://h/a%20b+c\r\n=empty key\r\nK=\r\n",
              ProtocolRequestFileText(L"morvindex:url=http://h/a%20b+c&=empty key&k="));
}

TEST(ProtocolRequest, EightBitCharactersAreOneByteAndWiderTextIsUtf8)
{
    EXPECT_EQ("N=caf\xE9\r\n", ProtocolRequestFileText(L"morvindex:n=caf\u00E9"));
    EXPECT_EQ("N=caf\xC3\xA9 \xE2\x82\xAC\r\n", ProtocolRequestFileText(L"morvindex:n=caf\u00E9 \u20AC"));
}

TEST(InvocationFile, ProtocolRequestReplacesEarlierFile)
{
    TempDir dir;
    std::wstring target = dir / L"invoke.morvindex";
    WriteBytes(target, "OLD=request\r\nMORE=lines\r\n");
    ASSERT_TRUE(WriteInvocationFile(L"morvindex:sw_code=Abc&x=1&y", target));
    EXPECT_EQ("SW_CODE=Abc\r\nX=1\r\n", ReadBytes(target));

    ASSERT_TRUE(WriteInvocationFile(L"morvindex:", target));
    EXPECT_TRUE(FileExists(target));
    EXPECT_EQ("", ReadBytes(target));
    EXPECT_FALSE(FileExists(target + L".tmp"));
}

TEST(InvocationFile, ExistingDocumentIsCopiedByteForByte)
{
    TempDir dir;
    static const char raw[] = "SW_CODE=ABC\r\n\0\x01\xFF not a data file";
    std::string bytes(raw, sizeof(raw) - 1);
    std::wstring document = dir / L"request one.morvindex";
    WriteBytes(document, bytes);
    std::wstring target = dir / L"invoke.morvindex";
    WriteBytes(target, "stale");
    ASSERT_TRUE(WriteInvocationFile(document, target));
    EXPECT_EQ(bytes, ReadBytes(target));
}

TEST(InvocationFile, UnwritableTargetOrFolderArgumentIsSwallowed)
{
    TempDir dir;
    EXPECT_FALSE(WriteInvocationFile(L"morvindex:a=b", dir / L"missing\\invoke.morvindex"));
    EXPECT_FALSE(WriteInvocationFile(dir.Path(), dir / L"invoke.morvindex"));
    EXPECT_FALSE(FileExists(dir / L"invoke.morvindex"));
}
