// The launcher's registration as the handler of its URL protocol and of its
// document type, in the user's registry.
#include "launcher/Registration.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

TEST(UrlProtocol, FirstRegistrationWritesTheFourValuesWithAQuotedCommand)
{
    ScratchKey scratch;
    const std::wstring exe = L"C:\\Program Files\\P\\MorvIndex.exe";
    RegisterUrlProtocolFor(L"morvindex", exe, scratch.Path());
    const std::wstring key = scratch.Path() + L"\\morvindex";
    EXPECT_EQ(L"URL:morvindex Protocol", ReadRegString(HKEY_CURRENT_USER, key));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, key, L"URL Protocol"));
    EXPECT_EQ(exe, ReadRegString(HKEY_CURRENT_USER, key + L"\\DefaultIcon"));
    EXPECT_EQ(L"\"" + exe + L"\" \"%1\"", ReadRegString(HKEY_CURRENT_USER, key + L"\\shell\\open\\command"));
}

TEST(UrlProtocol, ExistingRegistrationIsNeverTouched)
{
    ScratchKey scratch;
    RegisterUrlProtocolFor(L"morvindex", L"C:\\Old\\MorvIndex.exe", scratch.Path());
    RegisterUrlProtocolFor(L"morvindex", L"C:\\Moved\\MorvIndex.exe", scratch.Path());
    EXPECT_EQ(L"\"C:\\Old\\MorvIndex.exe\" \"%1\"",
              ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\morvindex\\shell\\open\\command"));

    // A first registration cut short (the process ended between its keys)
    // starts nothing: it is written whole at the next start.
    WriteRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\cut", L"URL Protocol", L"");
    RegisterUrlProtocolFor(L"cut", L"C:\\P\\MorvIndex.exe", scratch.Path());
    EXPECT_EQ(L"\"C:\\P\\MorvIndex.exe\" \"%1\"",
              ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\cut\\shell\\open\\command"));
    EXPECT_EQ(L"URL:cut Protocol", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\cut"));
}

TEST(WriteRegistryDefault, MissingKeyOrTextFailsWithInvalidParameter)
{
    ScratchKey scratch;
    SetLastError(0);
    EXPECT_FALSE(WriteRegistryDefault(nullptr, L"x", HKEY_CURRENT_USER));
    EXPECT_EQ(0x80070057u, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(WriteRegistryDefault(L"", L"x", HKEY_CURRENT_USER));
    EXPECT_EQ(0x80070057u, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(WriteRegistryDefault(scratch.Path().c_str(), nullptr, HKEY_CURRENT_USER));
    EXPECT_EQ(0x80070057u, GetLastError());

    EXPECT_TRUE(WriteRegistryDefault((scratch.Path() + L"\\a\\b").c_str(), L"", HKEY_CURRENT_USER));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\a\\b"));
}

namespace {
// A registration filled as start-up fills it, written below a scratch key.
void FillLikeStartUp(CGCFileTypeAccess& access, const ScratchKey& scratch, const std::wstring& exe)
{
    access.m_root = HKEY_CURRENT_USER;
    access.m_keyPrefix = scratch.Path() + L"\\";
    FillProgramFileType(access, L"morvindex", exe);
}
} // namespace

TEST(FileType, RegistrationProducesTheDocumentClassTable)
{
    ScratchKey scratch;
    CGCFileTypeAccess access;
    FillLikeStartUp(access, scratch, L"C:\\P Q\\MorvIndex.exe");
    EXPECT_TRUE(access.RegisterAll());
    EXPECT_STREQ("CGCFileTypeAccess", access.GetRuntimeClassName());

    const std::wstring base = scratch.Path() + L"\\";
    const std::wstring command = L"\"C:\\P Q\\MorvIndex.exe\" \"%1\"";
    EXPECT_EQ(L"morvindex.Document", ReadRegString(HKEY_CURRENT_USER, base + L".morvindex"));
    EXPECT_EQ(command, ReadRegString(HKEY_CURRENT_USER, base + L".morvindex\\shell\\open\\command"));
    EXPECT_EQ(L"", ReadRegString(HKEY_CURRENT_USER, base + L"morvindex.Document"));
    EXPECT_EQ(L"\"C:\\P Q\\MorvIndex.exe\",0",
              ReadRegString(HKEY_CURRENT_USER, base + L"morvindex.Document\\DefaultIcon"));
    EXPECT_EQ(command, ReadRegString(HKEY_CURRENT_USER, base + L"morvindex.Document\\shell\\open\\command"));
}

TEST(FileType, EmptyExtensionStillRegistersTheDocumentClassAndClearEmptiesAll)
{
    ScratchKey scratch;
    CGCFileTypeAccess access;
    FillLikeStartUp(access, scratch, L"C:\\P\\MorvIndex.exe");
    access.SetExtension(L"");
    access.RegisterAll();
    EXPECT_EQ(L"<missing>", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\."));
    EXPECT_EQ(L"\"C:\\P\\MorvIndex.exe\",0",
              ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\morvindex.Document\\DefaultIcon"));

    ScratchKey second;
    access.ClearAllData();
    access.m_keyPrefix = second.Path() + L"\\";
    access.RegisterAll();
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, second.Path().c_str(), 0, KEY_READ, &key))
        << "a cleared object registers nothing";
}
