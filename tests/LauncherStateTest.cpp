// The launcher's environment: its program name, where server.dat is found,
// the server addresses and the maker's key, and where the synchronisation
// library is loaded from and the path it is handed.
#include "environment/LauncherState.h"
#include "environment/ProgramIdentity.h"
#include "environment/SyncBinding.h"
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

// PATH takes index_deps first; the library itself is loaded by full path,
// next to the program first, never by a bare name that the current folder
// could answer (Windows searches it before PATH).
TEST(SyncLibraryFolder, IndexDepsWinsOnPathAndTheProgramFolderCopyIsLoaded)
{
    TempDir dir;
    std::string exe = dir.Narrow() + "MorvIndex.exe";
    EXPECT_EQ("", FindSyncLibraryFolder(exe));
    EXPECT_EQ(L"", SyncLibraryLoadPath(dir / L"MorvIndex.exe")) << "nothing to load, and never the bare name";

    std::filesystem::create_directory(dir / L"index_deps");
    WriteBytes(dir / L"index_deps\\trelko_util_r.dll", "x");
    EXPECT_EQ(dir.Narrow() + "index_deps", FindSyncLibraryFolder(exe));
    EXPECT_EQ(dir / L"index_deps\\trelko_util_r.dll", SyncLibraryLoadPath(dir / L"MorvIndex.exe"));

    WriteBytes(dir / L"trelko_util_r.dll", "x");
    EXPECT_EQ(dir.Narrow() + "index_deps", FindSyncLibraryFolder(exe));
    EXPECT_EQ(dir / L"trelko_util_r.dll", SyncLibraryLoadPath(dir / L"MorvIndex.exe"));

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
