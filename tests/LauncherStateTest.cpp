// The launcher's environment: the program's identity, where its shipped
// files are found, server.dat's addresses and key as start-up reads them and
// as choosing a server writes them, and the library binding.
#include "environment/LauncherState.h"
#include "environment/ProgramIdentity.h"
#include "environment/ServerChoice.h"
#include "environment/ShippedFiles.h"
#include "environment/SyncBinding.h"
#include "environment/SystemLibrary.h"
#include "store/AtomicFile.h"
#include "store/Text.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

TEST(ProgramIdentity, NameIsFileNameWithoutExtensionLowerCased)
{
    EXPECT_EQ(L"other", ProgramNameFromPath(L"C:\\P\\Other.EXE"));
    EXPECT_EQ(L"morvindex", ProgramNameFromPath(L"C:\\P\\MorvIndex.exe"));
    EXPECT_EQ(L"my.tool", ProgramNameFromPath(L"C:\\a.b\\My.Tool.exe"));
    EXPECT_EQ(L"noext", ProgramNameFromPath(L"D:/x/NoExt"));
    EXPECT_EQ(L"C:\\P\\", FolderOfPath(L"C:\\P\\Other.EXE"));
}

TEST(ServerSettingsFile, ProgramFolderThenIndexDepsWhenOnlyThatFolderExists)
{
    TempDir dir;
    // Neither file nor index_deps: the program folder's path stays.
    EXPECT_EQ(dir / L"server.dat", ChooseServerSettingsFile(dir.Path()));

    // index_deps without server.dat: that path, although the file does not exist yet.
    std::filesystem::create_directory(dir / L"index_deps");
    EXPECT_EQ(dir / L"index_deps\\server.dat", ChooseServerSettingsFile(dir.Path()));

    WriteBytes(dir / L"index_deps\\server.dat", "[SERVER]\r\nURL=x\r\n");
    EXPECT_EQ(dir / L"index_deps\\server.dat", ChooseServerSettingsFile(dir.Path()));

    // A server.dat in the program folder wins.
    WriteBytes(dir / L"server.dat", "[SERVER]\r\nURL=y\r\n");
    EXPECT_EQ(dir / L"server.dat", ChooseServerSettingsFile(dir.Path()));
}

TEST(ServerUrls, DefaultsThenServerFileThenRegistryOverrides)
{
    KeyValueStore serverFile, settings;
    std::string index, repository;
    SettleServerUrls(serverFile, settings, index, repository);
    EXPECT_EQ(std::string("http://") + kSupportServer + "/software_qel/morvindex/sw_index.dat", index);
    EXPECT_EQ(std::string("http://") + kSupportServer + "/software_qel/morvindex/sw_repo.dat", repository);

    serverFile.SetValue("URL", "X", "SERVER");
    serverFile.SetValue("URL", "R", "REPOSITORY");
    SettleServerUrls(serverFile, settings, index, repository);
    EXPECT_EQ("X", index);
    EXPECT_EQ("R", repository);

    settings.SetValue("DOWNLOAD_URL", "Y");
    settings.SetValue("REPOSITORY_URL", "");
    SettleServerUrls(serverFile, settings, index, repository);
    EXPECT_EQ("Y", index);
    EXPECT_EQ("R", repository) << "an empty registry value does not override";

    KeyValueStore emptyUrl;
    emptyUrl.SetValue("URL", "", "SERVER");
    SettleServerUrls(emptyUrl, KeyValueStore(), index, repository);
    EXPECT_EQ("", index) << "a present but empty URL sets an empty address";
}

TEST(ServerUrls, OnlyTheFirstTenLinesOfServerDatCount)
{
    TempDir dir;
    std::string text;
    for (int i = 0; i < 10; ++i)
        text += "PAD" + std::to_string(i) + "=1\r\n";
    text += "[SERVER]\r\nURL=http://late/\r\n";
    WriteBytes(dir / L"server.dat", text);
    LauncherState state;
    InitialiseLauncherState(state, L"lsprobe", dir / L"lsprobe.exe");
    EXPECT_EQ(Utf8FromWide(dir / L"server.dat"), state.m_serverSettingsFile);
    EXPECT_EQ(std::string("http://") + kSupportServer + "/software_qel/morvindex/sw_index.dat", state.m_indexUrl);
    EXPECT_EQ(Utf8FromWide(dir.Path()), state.m_programFolder);
    EXPECT_EQ(dir.Path(), state.m_programFolderW);
}

// A shipped file is taken beside the program first, then from index_deps, as
// Windows finds a library loaded by full path from the program's folder; PATH
// names the folder the library is loaded from, and the load never goes by a
// bare name that the current folder could answer (Windows searches it first).
TEST(SyncLibraryFolder, ProgramFolderFirstAndPathNamesTheFolderLoaded)
{
    TempDir dir;
    std::string exe = dir.Narrow() + "MorvIndex.exe";
    EXPECT_EQ("", FindSyncLibraryFolder(exe));
    EXPECT_EQ(L"", SyncLibraryLoadPath(dir / L"MorvIndex.exe")) << "nothing to load, and never the bare name";
    EXPECT_EQ(L"", SyncLibraryLoadPath(L"MorvIndex.exe")) << "no folder: nothing, not the current folder";

    std::filesystem::create_directory(dir / L"index_deps");
    WriteBytes(dir / L"index_deps\\trelko_util_r.dll", "x");
    EXPECT_EQ(dir.Narrow() + "index_deps", FindSyncLibraryFolder(exe));
    EXPECT_EQ(dir / L"index_deps\\trelko_util_r.dll", SyncLibraryLoadPath(dir / L"MorvIndex.exe"));

    WriteBytes(dir / L"trelko_util_r.dll", "x");
    EXPECT_EQ(dir.Narrow().substr(0, dir.Narrow().size() - 1), FindSyncLibraryFolder(exe));
    EXPECT_EQ(dir / L"trelko_util_r.dll", SyncLibraryLoadPath(dir / L"MorvIndex.exe"));
    EXPECT_EQ(dir / L"trelko_util_r.dll", FindBesideProgram(dir.Path(), L"trelko_util_r.dll"));

    std::filesystem::remove(dir / L"index_deps\\trelko_util_r.dll");
    EXPECT_EQ(dir.Narrow().substr(0, dir.Narrow().size() - 1), FindSyncLibraryFolder(exe));
    EXPECT_EQ(dir.Narrow().substr(0, dir.Narrow().size() - 1),
              FindSyncLibraryFolder(dir.Narrow().substr(0, dir.Narrow().size() - 1) + "/MorvIndex.exe"));
}

// The library takes ANSI paths: accented Latin names keep their ANSI bytes,
// names the code page cannot spell go over in their short form, and a path
// with neither is refused rather than handed over mangled.
TEST(LibraryPath, AnsiWhenSpellableElseShortFormElseRefused)
{
    std::string ansi;
    ASSERT_TRUE(LibraryPath(L"C:\\Users\\Niccol\u00f2 B\u00e0rbaro\\x.zip", ansi));
    EXPECT_EQ("C:\\Users\\Niccol\xF2 B\xE0rbaro\\x.zip", ansi);

    TempDir dir;
    const std::wstring greek = dir / L"\u0397\u03bb\u03af\u03b1\u03c2";
    std::filesystem::create_directories(greek + L"\\apps");
    ASSERT_TRUE(LibraryPath(greek + L"\\apps\\ABC", ansi)) << "short form of the existing part";
    EXPECT_EQ(std::string::npos, ansi.find('?')) << ansi;
    EXPECT_EQ("\\ABC", ansi.substr(ansi.size() - 4));
    std::filesystem::create_directories(WideFromAnsi(ansi));
    EXPECT_TRUE(FileExists(greek + L"\\apps\\ABC")) << "the short form names the same folder";
    EXPECT_FALSE(LibraryPath(dir / L"\u0397\u03bb\u03af\u03b1\u03c2 missing\\x.zip", ansi));
    EXPECT_TRUE(ansi.empty());
}

namespace {
// Every load asked for; with refuseSearchFlag the answer of a Windows 7
// without the update that brought LOAD_LIBRARY_SEARCH_SYSTEM32.
std::vector<std::pair<std::wstring, DWORD>> g_loads;
bool g_refuseSearchFlag = false;
HMODULE WINAPI RecordingLoad(LPCWSTR name, HANDLE, DWORD flags)
{
    g_loads.emplace_back(name, flags);
    if (g_refuseSearchFlag && (flags & LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return GetModuleHandleW(nullptr);
}
} // namespace

// A system library comes from the system folder only: with the search flag,
// or where the flag is refused by its full system path, its dependencies
// sought from there; never by a bare name the program's folder could answer.
TEST(LibraryPath, SystemLibrariesComeFromTheSystemFolderOnly)
{
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    for (bool refused : {false, true}) {
        g_loads.clear();
        g_refuseSearchFlag = refused;
        EXPECT_NE(nullptr, LoadSystemLibrary(L"wininet.dll", RecordingLoad)) << refused;
        ASSERT_EQ(refused ? 2u : 1u, g_loads.size());
        EXPECT_EQ(L"wininet.dll", g_loads[0].first);
        EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), g_loads[0].second);
        if (refused) {
            EXPECT_EQ(std::wstring(system, length) + L"\\wininet.dll", g_loads[1].first);
            EXPECT_EQ(static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH), g_loads[1].second);
        }
    }
    g_refuseSearchFlag = false;
}

TEST(ServerUrls, MakerKeyFromServerDatAsksForSignaturesEvenWhenUnusable)
{
    bool required = true;
    PublicKey key;
    ReadMakerKey(ServerFileText("[SERVER]\r\nURL=http://x/\r\n"), required, key);
    EXPECT_FALSE(required) << "no key: catalogues as they always were";

    const std::string base64 = kMakerKey.spkiBase64;
    ReadMakerKey(ServerFileText("[SIGNATURE]\r\nKEY=" + base64 + "\r\n"), required, key);
    EXPECT_TRUE(required);
    EXPECT_EQ(kMakerKey.publicXYHex, HexOf(key.x + key.y));

    // A key that is no P-256 key still asks for signatures, which then never verify.
    ReadMakerKey(ServerFileText("[SIGNATURE]\r\nKEY=TWFyaW8=\r\n"), required, key);
    EXPECT_TRUE(required);
    EXPECT_TRUE(key.Empty());

    // server.dat as people save it: each one still finds the key.
    std::string tenLines;
    for (int i = 0; i < 12; ++i)
        tenLines += "; note " + std::to_string(i) + "\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : "[SIGNATURE]\r\nKEY=" + base64 + "\r\n")
        utf16 += std::string(1, c) + '\0';
    std::string utf16be = "\xFE\xFF";
    for (char c : "[SIGNATURE]\r\nKEY=" + base64 + "\r\n")
        utf16be += std::string(1, '\0') + c;
    const std::map<std::string, std::string> found = {
        {"byte-order mark", "\xEF\xBB\xBF[SIGNATURE]\r\nKEY=" + base64 + "\r\n"},
        {"blanks around the name and value", "[SIGNATURE]\r\n  key =  " + base64 + " \r\n"},
        {"blanks in the header", "[ Signature ]\nKEY=" + base64 + "\n"},
        {"past line 10", "[SERVER]\r\nURL=http://x/\r\n" + tenLines + "[SIGNATURE]\r\nKEY=" + base64},
        {"CR line ends", "[SERVER]\rURL=http://x/\r[SIGNATURE]\rKEY=" + base64 + "\r"},
        {"UTF-16", utf16},
        {"UTF-16 big-endian", utf16be},
        {"header without its bracket", "[SIGNATURE\r\nKEY=" + base64 + "\r\n"},
    };
    for (const auto& text : found) {
        ReadMakerKey(ServerFileText(text.second), required, key);
        EXPECT_TRUE(required) << text.first;
        EXPECT_EQ(kMakerKey.publicXYHex, HexOf(key.x + key.y)) << text.first;
    }
    // Any trace of a key asks for signatures; one that cannot be used fails closed.
    const std::map<std::string, std::string> unusable = {
        {"empty KEY", "[SIGNATURE]\r\nKEY=\r\n"},
        {"section alone", "[SIGNATURE]\r\n"},
        {"KEY outside the section", "[SERVER]\r\nKEY=" + base64 + "\r\n"},
        {"KEY without =", "[SIGNATURE]\r\nKEY\r\n"},
        {"two KEY lines", "[SIGNATURE]\r\nKEY=" + base64 + "\r\nKEY=" + base64 + "\r\n"},
        {"a second KEY elsewhere", "[SIGNATURE]\r\nKEY=" + base64 + "\r\n[SERVER]\r\nKEY=" + base64 + "\r\n"},
        {"two ROOT lines", "[SIGNATURE]\r\nKEY=" + base64 + "\r\nROOT=" + base64 + "\r\nROOT=" + base64 + "\r\n"},
    };
    for (const auto& text : unusable) {
        MakerTrust trust;
        std::string keyText;
        ReadMakerKey(ServerFileText(text.second), required, key, &keyText, &trust);
        EXPECT_TRUE(required) << text.first;
        EXPECT_TRUE(key.Empty()) << text.first;
        EXPECT_TRUE(trust.root.Empty()) << text.first;
        if (text.first.compare(0, 3, "two") == 0 || text.first.find("second") != std::string::npos) {
            EXPECT_NE(trust.problem.find(text.first.find("ROOT") != std::string::npos ? "ROOT=" : "KEY="),
                      std::string::npos)
                << text.first << ": " << trust.problem;
            EXPECT_EQ(keyText, "") << "a server change must not write back one of the two";
        }
    }
    MakerTrust rooted;
    ReadMakerKey(ServerFileText("[SIGNATURE]\r\nROOT=" + base64 + "\r\n"), required, key, nullptr, &rooted);
    EXPECT_TRUE(required);
    EXPECT_EQ(kMakerKey.publicXYHex, HexOf(rooted.root.x + rooted.root.y));
    EXPECT_EQ(rooted.problem, "");
    EXPECT_EQ("[A]\r\nB=1\r\n", ServerFileText("\xEF\xBB\xBF[A]\rB=1\r"));

    TempDir dir;
    WriteBytes(dir / L"server.dat", std::string("[SERVER]\r\nURL=http://x/\r\n[SIGNATURE]\r\nKEY=") +
                                        kMakerKey.spkiBase64 + "\r\n");
    LauncherState state;
    InitialiseLauncherState(state, L"lsprobe", dir / L"lsprobe.exe");
    EXPECT_TRUE(state.m_signaturesRequired);
    EXPECT_FALSE(state.m_makerKey.Empty());
    EXPECT_TRUE(HasUsableMakerKey(state));
    // A root alone is a maker's key too (the launcher may then update itself);
    // two key lines, or none, are not.
    for (const auto& text : std::vector<std::pair<std::string, bool>>{
             {"[SIGNATURE]\r\nROOT=" + base64 + "\r\n", true},
             {"[SIGNATURE]\r\nKEY=" + base64 + "\r\nKEY=" + base64 + "\r\n", false},
             {"[SERVER]\r\nURL=http://x/\r\n", false}}) {
        WriteBytes(dir / L"server.dat", text.first);
        LauncherState other;
        InitialiseLauncherState(other, L"lsprobe", dir / L"lsprobe.exe");
        EXPECT_EQ(text.second, HasUsableMakerKey(other)) << text.first;
    }

    // Saved as "Unicode" by Notepad, at start-up too.
    WriteBytes(dir / L"server.dat", utf16);
    LauncherState unicode;
    InitialiseLauncherState(unicode, L"lsprobe", dir / L"lsprobe.exe");
    EXPECT_TRUE(unicode.m_signaturesRequired);
    EXPECT_EQ(kMakerKey.publicXYHex, HexOf(unicode.m_makerKey.x + unicode.m_makerKey.y));
}

TEST(ServerChoice, WritesTheServerAndKeepsTheRestOfTheFile)
{
    TempDir dir;
    std::string text = "[REPOSITORY]\r\nURL=http://repo/\r\n[SERVER]\r\nURL=http://test/\r\n";
    for (int i = 0; i < 10; ++i)
        text += "PAD" + std::to_string(i) + "=1\r\n";
    text += "[LATE]\r\nKEY=kept\r\n";
    WriteBytes(dir / L"server.dat", text);
    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "server.dat", "http://main/sw_index.dat"));
    KeyValueStore written;
    ASSERT_TRUE(written.LoadFile(dir / L"server.dat"));
    EXPECT_EQ("http://main/sw_index.dat", written.GetValue("SERVER", "URL"));
    EXPECT_EQ("http://repo/", written.GetValue("REPOSITORY", "URL"));
    EXPECT_EQ("kept", written.GetValue("LATE", "KEY")) << "nothing below the tenth line is lost";
    KeyValueStore startup;
    startup.LoadFile(dir / L"server.dat", kServerFileLines);
    EXPECT_EQ("http://repo/", startup.GetValue("REPOSITORY", "URL")) << "the repository stays where start-up reads it";

    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "new.dat", "http://x/"));
    EXPECT_EQ("[SERVER]\r\nURL=http://x/\r\n", ReadBytes(dir / L"new.dat"));

    // Settings before and after the sections: the chosen URL is what the
    // next start, reading ten lines, finds, and no setting is lost.
    std::string busy = "LANG=it\r\nTHEME=dark\r\n[AAA]\r\n";
    for (int i = 0; i < 12; ++i)
        busy += "K" + std::to_string(i) + "=v\r\n";
    busy += "[SERVER]\r\nALIAS=old\r\nURL=http://old/\r\n[ZZZ]\r\nLAST=1\r\n";
    WriteBytes(dir / L"busy.dat", busy);
    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "busy.dat", "http://chosen/"));
    KeyValueStore head, whole;
    head.LoadFile(dir / L"busy.dat", kServerFileLines);
    whole.LoadFile(dir / L"busy.dat");
    EXPECT_EQ("http://chosen/", head.GetValue("SERVER", "URL"));
    EXPECT_EQ("old", whole.GetValue("SERVER", "ALIAS"));
    EXPECT_EQ("it", whole.GetValue(KeyValueStore::kGlobal, "LANG"));
    EXPECT_EQ("dark", whole.GetValue(KeyValueStore::kGlobal, "THEME"));
    EXPECT_EQ("v", whole.GetValue("AAA", "K11"));
    EXPECT_EQ("1", whole.GetValue("ZZZ", "LAST"));

    // The maker's key stays, where the next start reads it, however busy the
    // server's own section.
    busy = "[SERVER]\r\n";
    for (int i = 0; i < 12; ++i)
        busy += "K" + std::to_string(i) + "=v\r\n";
    busy += "URL=http://old/\r\n[SIGNATURE]\r\nKEY=MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE\r\n";
    WriteBytes(dir / L"signed.dat", busy);
    ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "signed.dat", "http://chosen/"));
    KeyValueStore signedHead;
    signedHead.LoadFile(dir / L"signed.dat", kServerFileLines);
    EXPECT_EQ("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE", signedHead.GetValue("SIGNATURE", "KEY"));
    EXPECT_EQ("http://chosen/", signedHead.GetValue("SERVER", "URL"));

    // A header start-up reads as the signature section, however it was
    // written, keeps its key there.
    for (const char* header : {"SIGNATURE]", "[SIGNATURE", "[ signature ]"}) {
        WriteBytes(dir / L"odd.dat", std::string("[SERVER]\r\nURL=http://old/\r\n") + header +
                                         "\r\nKEY = MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE\r\n");
        ASSERT_TRUE(StoreServerChoice(dir.Narrow() + "odd.dat", "http://chosen/"));
        std::string written;
        ASSERT_TRUE(ReadFileBytes(dir / L"odd.dat", written));
        bool required = false;
        PublicKey key;
        std::string keyText;
        ReadMakerKey(ServerFileText(written), required, key, &keyText);
        EXPECT_TRUE(required) << header;
        EXPECT_EQ("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE", keyText) << header << "\n" << written;
    }
}
