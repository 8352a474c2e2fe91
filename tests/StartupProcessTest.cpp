// The real MorvIndex.exe under Wine, each test with its own copy of the
// executable (so its own program name, registry keys and shared window slot)
// and its own APPDATA.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testing_support;

namespace {
constexpr DWORD kStartTimeout = 30000;

bool WaitUntil(DWORD milliseconds, const std::function<bool()>& condition)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        if (condition())
            return true;
        Sleep(50);
    }
    return condition();
}
} // namespace

TEST(Startup, FirstStartCreatesDataFolderAndRegistersProtocolAndFileType)
{
    LauncherCopy launcher;
    HANDLE process = launcher.Start();
    ASSERT_NE(nullptr, process);
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window) << "the main dialog did not appear";
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    EXPECT_STREQ(L"MorvIndex", caption);

    EXPECT_TRUE(FileExists(launcher.DataFolder()));
    EXPECT_FALSE(FileExists(launcher.DataFolder() + L"invoke.morvindex"));

    const std::wstring protocol = L"SOFTWARE\\Classes\\" + launcher.Name();
    EXPECT_EQ(L"URL:" + launcher.Name() + L" Protocol", ReadRegString(HKEY_CURRENT_USER, protocol));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, protocol, L"URL Protocol"));
    EXPECT_EQ(launcher.ExePath(), ReadRegString(HKEY_CURRENT_USER, protocol + L"\\DefaultIcon"));
    EXPECT_EQ(launcher.ExePath() + L" %1", ReadRegString(HKEY_CURRENT_USER, protocol + L"\\shell\\open\\command"));

    const std::wstring extension = L"." + launcher.Name();
    EXPECT_EQ(L"morvindex.Document", ReadRegString(HKEY_CLASSES_ROOT, extension));
    EXPECT_EQ(L"\"" + launcher.ExePath() + L"\" \"%1\"",
              ReadRegString(HKEY_CLASSES_ROOT, extension + L"\\shell\\open\\command"));
    std::wstring icon = ReadRegString(HKEY_CLASSES_ROOT, L"morvindex.Document\\DefaultIcon");
    EXPECT_EQ(L"\"", icon.substr(0, 1));
    EXPECT_EQ(L".exe\",0", icon.substr(icon.size() - 7));

    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_EQ(0u, LauncherCopy::WaitExit(process, 0));
}

TEST(Startup, SecondStartWritesTheRequestRestoresTheFirstWindowAndEnds)
{
    LauncherCopy launcher;
    HANDLE first = launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(first, kStartTimeout);
    ASSERT_NE(nullptr, window);
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(WaitUntil(5000, [&] { return IsIconic(window) != FALSE; }));

    HANDLE second = launcher.Start(L"morvindex:sw_code=Abc&x=1&y");
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(0u, LauncherCopy::WaitExit(second, kStartTimeout)) << "the second instance must end by itself";
    EXPECT_EQ("SW_CODE=Abc\r\nX=1\r\n", ReadBytes(launcher.DataFolder() + L"invoke.morvindex"));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first, 0)) << "the first instance keeps running";
    EXPECT_TRUE(WaitUntil(5000, [&] { return !IsIconic(window); })) << "the running window is restored";

    EXPECT_TRUE(LauncherCopy::Close(first, kStartTimeout));
}

TEST(Startup, DocumentArgumentIsCopiedToTheInvocationFile)
{
    LauncherCopy launcher;
    static const char raw[] = "SW_CODE=ABC\r\nUSER=x\r\n\0\xFE binary tail";
    std::string bytes(raw, sizeof(raw) - 1);
    std::wstring document = launcher.Folder() + L"a request.morvindex";
    WriteBytes(document, bytes);

    HANDLE process = launcher.Start(L"\"" + document + L"\"");
    ASSERT_NE(nullptr, LauncherCopy::WaitMainWindow(process, kStartTimeout));
    EXPECT_EQ(bytes, ReadBytes(launcher.DataFolder() + L"invoke.morvindex"));
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
}

TEST(Startup, UnchangedSettingsAreNotWrittenBackOverNewerOnes)
{
    LauncherCopy launcher;
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"3");
    WriteRegString(HKEY_CURRENT_USER, key, L"PATH", L"C:\\apps\\ABC");

    HANDLE process = launcher.Start();
    ASSERT_NE(nullptr, LauncherCopy::WaitMainWindow(process, kStartTimeout));
    // Another instance records a newer build while this one runs.
    WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"4");
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    EXPECT_EQ(L"4", ReadRegString(HKEY_CURRENT_USER, key, L"VERSION"));
}
