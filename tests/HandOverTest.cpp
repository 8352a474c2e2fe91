// Handing a command line to the running launcher: the protocol request's
// lines, the invocation file written from an argument, and the argument found
// behind the program's path on the command line.
#include "framework/WinApp.h"
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

    // A request is never looked up as a file: Windows reads "morvindex:x\..\y"
    // as the relative path "y", so a page could hand over any file of the
    // drive (or a device, which blocks) in place of its request.
    CreateDirectoryW((dir / L"cwd").c_str(), nullptr);
    WriteBytes(dir / L"secret.txt", "SW_CODE=OTHER\r\nPASSWORD=x\r\n");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW((dir / L"cwd").c_str()));
    const bool backslashes = WriteInvocationFile(L"morvindex:sw_code=Abc&x=\\..\\..\\secret.txt", target);
    const std::string backslashText = ReadBytes(target);
    const bool slashes = WriteInvocationFile(L"morvindex:sw_code=Abc&x=/../../secret.txt", target);
    const std::string slashText = ReadBytes(target);
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(backslashes);
    EXPECT_EQ("SW_CODE=Abc\r\nX=\\..\\..\\secret.txt\r\n", backslashText);
    EXPECT_TRUE(slashes);
    EXPECT_EQ("SW_CODE=Abc\r\nX=/../../secret.txt\r\n", slashText);
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

namespace {
std::wstring FileNameOf(const wchar_t* commandLine, const std::wstring& programPath)
{
    CCommandLineInfo info;
    ParseCommandLineText(commandLine, info, programPath);
    return info.m_strFileName;
}
} // namespace

// The exact strings Windows hands the program: an unquoted registration
// gives the program path unquoted, spaces and all.
TEST(CommandLine, RequestIsFoundBehindQuotedAndUnquotedProgramPaths)
{
    const std::wstring spaced = L"C:\\Programmi\\Utilit\u00e0 di Nicol\u00f2\\MorvIndex.exe";
    const std::wstring plain = L"C:\\P\\MorvIndex.exe";
    const std::wstring request = L"morvindex:SW_CODE=ABC&USER=x";
    EXPECT_EQ(request, FileNameOf((spaced + L" " + request).c_str(), spaced));
    EXPECT_EQ(request, FileNameOf((L"\"" + spaced + L"\" \"" + request + L"\"").c_str(), spaced));
    EXPECT_EQ(request, FileNameOf((L"\"" + spaced + L"\" " + request).c_str(), spaced));
    EXPECT_EQ(request, FileNameOf((plain + L" " + request).c_str(), plain));
    EXPECT_EQ(request, FileNameOf((spaced + L" \"" + request + L"\"").c_str(), spaced));
    // The path as Windows may spell it in another case; flags are skipped.
    EXPECT_EQ(request, FileNameOf((L"c:\\programmi\\UTILIT\u00c0 di nicol\u00d2\\morvindex.exe /x " + request).c_str(),
                                  spaced));
    EXPECT_EQ(L"", FileNameOf(spaced.c_str(), spaced));
    EXPECT_EQ(L"", FileNameOf(L"", spaced));
    // Through an unquoted %1 the rest of the line is the request as the
    // page wrote it, spaces and quotes included.
    const std::wstring programFiles = L"C:\\Program Files\\Utilit\u00e0\\MorvIndex.exe";
    EXPECT_EQ(L"morvindex:SW_CODE=A&USER=Mario Rossi",
              FileNameOf(LR"(C:\Program Files\Utilità\MorvIndex.exe morvindex:SW_CODE=A&USER=Mario Rossi)",
                         programFiles));
    EXPECT_EQ(LR"(morvindex:SW_CODE=A&NOTE="due  parole" e "altre")",
              FileNameOf(LR"(C:\Program Files\Utilità\MorvIndex.exe  morvindex:SW_CODE=A&NOTE="due  parole" e "altre")",
                         programFiles));
    EXPECT_EQ(LR"(C:\Users\Mario Rossi\Downloads\richiesta 2.morvindex)",
              FileNameOf(LR"(C:\Program Files\Utilità\MorvIndex.exe C:\Users\Mario Rossi\Downloads\richiesta 2.morvindex)",
                         programFiles));
    // Another program's path is split as usual.
    EXPECT_EQ(L"di", FileNameOf((L"C:\\Programmi\\Utilit\u00e0 di Nicol\u00f2\\Other.exe " + request).c_str(), spaced));
}

// A module path longer than MAX_PATH (and than the 520 characters once read)
// is read whole.
TEST(CommandLine, ModulePathIsReadWhateverItsLength)
{
    TempDir dir;
    std::wstring folder = dir.Path();
    while (folder.size() < 600) {
        folder += L"cartella con un nome lungo\\";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    }
    const std::wstring copy = folder + L"trelko_util_r.dll";
    ASSERT_TRUE(CopyFileW((BinaryFolder() + L"trelko_util_r.dll").c_str(), (L"\\\\?\\" + copy).c_str(), FALSE));
    HMODULE module = LoadLibraryW((L"\\\\?\\" + copy).c_str());
    ASSERT_NE(nullptr, module);
    std::wstring path = ModuleFilePath(module);
    FreeLibrary(module);
    EXPECT_GT(path.size(), 600u);
    EXPECT_EQ(L"trelko_util_r.dll", path.substr(path.size() - 17));
    EXPECT_NE(std::wstring::npos, path.find(L"cartella con un nome lungo\\cartella")) << path.size();
}
