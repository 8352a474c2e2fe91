// The data-file form: lookups, the reader's line rules and limits, saving
// and reading back, and the registry form.
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace testing_support;

namespace {

KeyValueStore LoadText(const TempDir& dir, const std::string& text, int maxLines = -1)
{
    std::wstring path = dir / L"data.dat";
    WriteBytes(path, text);
    KeyValueStore store;
    EXPECT_TRUE(store.LoadFile(path, maxLines));
    return store;
}

std::string SavedText(KeyValueStore& store, const TempDir& dir)
{
    std::wstring path = dir / L"saved.dat";
    EXPECT_TRUE(store.SaveFile(path));
    return ReadBytes(path);
}

} // namespace

TEST(KeyValueStore, Lookup_IgnoresCaseOfSectionsAndKeysButKeepsValues)
{
    KeyValueStore store;
    store.SetValue("url", "Http://Host/A b ", "server");
    EXPECT_TRUE(store.HasKey("SERVER", "URL"));
    EXPECT_TRUE(store.HasKey("Server", "uRl"));
    EXPECT_EQ("Http://Host/A b ", store.GetValue("sErVeR", "url"));
    EXPECT_EQ("dflt", store.GetValue("SERVER", "other", "dflt"));
    EXPECT_EQ("dflt", store.GetValue("missing", "url", "dflt"));
    EXPECT_EQ(nullptr, store.FindSection("missing"));
    EXPECT_EQ(1u, store.AllSections().size()) << "a failed lookup must not create a section";

    store.SetValue("URL", "second", "SERVER");
    EXPECT_EQ("second", store.GetValue("server", "url"));

    KeyValueSection* section = store.FindSection("server");
    ASSERT_NE(nullptr, section);
    EXPECT_EQ("SERVER", section->Name());
    ASSERT_TRUE(section->Find("url"));
    EXPECT_EQ("second", section->CurrentValue());
    EXPECT_FALSE(section->Find("nope"));
    EXPECT_EQ("second", section->CurrentValue()) << "a failed Find leaves the cursor where it was";
}

TEST(KeyValueStore, UpperCasing_TouchesOnlyAsciiLetters)
{
    EXPECT_EQ("ABC_1-\xC3\xA8Z", UpperAscii("abc_1-\xC3\xA8z"));
}

TEST(KeyValueStore, LoadFile_ReadsGlobalEntriesHeadersAndEntryRules)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir,
                                   "url=x\r\n"
                                   "\r\n"
                                   "   \t \r\n"
                                   "[Server]\r\n"
                                   "Url = x \r\n"
                                   "[ a ]  trailing text\r\n"
                                   "; note\n"
                                   "[]\n"
                                   "[abc\n"
                                   "bare line\n"
                                   "k=v=w\n"
                                   "last=no line end");
    EXPECT_EQ("x", store.GetValue("global", "URL"));
    EXPECT_TRUE(store.HasKey("SERVER", "URL "));
    EXPECT_EQ(" x", store.GetValue("SERVER", "URL "));
    EXPECT_FALSE(store.HasKey("SERVER", "URL"));

    const KeyValueSection* spaced = store.FindSection(" A ");
    ASSERT_NE(nullptr, spaced);
    EXPECT_TRUE(spaced->Items().count("; NOTE"));
    EXPECT_TRUE(spaced->Items().count("[]"));
    EXPECT_TRUE(spaced->Items().count("[ABC"));
    EXPECT_EQ("", store.GetValue(" a ", "bare line", "missing"));
    EXPECT_EQ("v=w", store.GetValue(" a ", "K"));
    EXPECT_EQ("no line end", store.GetValue(" a ", "LAST"));
}

TEST(KeyValueStore, LoadFile_MergesRepeatedSectionsAndKeepsLastValue)
{
    TempDir dir;
    KeyValueStore store = LoadText(dir, "[A]\nk=1\nx=1\n[B]\nk=2\n[a]\nk=3\n");
    EXPECT_EQ("3", store.GetValue("A", "K"));
    EXPECT_EQ("1", store.GetValue("A", "X"));
    EXPECT_EQ("2", store.GetValue("B", "K"));

    // Loading the same file again changes nothing.
    KeyValueStore twice = store;
    EXPECT_TRUE(twice.LoadFile(dir / L"data.dat"));
    EXPECT_TRUE(twice == store);
}

TEST(KeyValueStore, LoadFile_StopsAtLineLimitAndAtOverlongLine)
{
    TempDir dir;
    std::string text;
    for (int i = 1; i <= 11; ++i)
        text += "K" + std::to_string(i) + "=v\r\n";
    KeyValueStore limited = LoadText(dir, text, 10);
    EXPECT_TRUE(limited.HasKey("GLOBAL", "K10"));
    EXPECT_FALSE(limited.HasKey("GLOBAL", "K11"));

    // An empty line counts as a line read.
    KeyValueStore counted = LoadText(dir, "\r\n\r\nA=1\r\nB=2\r\n", 3);
    EXPECT_TRUE(counted.HasKey("GLOBAL", "A"));
    EXPECT_FALSE(counted.HasKey("GLOBAL", "B"));

    // A 1023-byte line is whole; a longer one is cut to 1023 bytes and ends the read.
    std::string exact = "E=" + std::string(1021, 'e');
    std::string longer = "L=" + std::string(1500, 'l');
    KeyValueStore store = LoadText(dir, exact + "\r\n" + longer + "\r\nAFTER=1\r\n");
    EXPECT_EQ(std::string(1021, 'e'), store.GetValue("GLOBAL", "E"));
    EXPECT_EQ(std::string(1021, 'l'), store.GetValue("GLOBAL", "L"));
    EXPECT_FALSE(store.HasKey("GLOBAL", "AFTER"));
}

TEST(KeyValueStore, LoadFile_LargeFileReadsAsItsTextWhereverLinesFallInTheReads)
{
    // Files larger than one read: lines of every length cross the reads'
    // boundaries, and the stops (line limit, overlong line) fall far in.
    std::string text;
    for (int i = 0; text.size() < 300 * 1024; ++i) {
        if (i % 7 == 0)
            text += "[Section " + std::to_string(i % 50) + "]\r\n";
        text += "key" + std::to_string(i) + "=" + std::string(static_cast<size_t>(i * 37 % 1000), 'v') +
                (i % 3 == 0 ? "\n" : "\r\n");
    }
    const std::string overlong = text + "[TAIL]\r\nLONG=" + std::string(70 * 1024, 'l') + "\r\nAFTER=1\r\n";
    TempDir dir;
    for (const std::string* content : {static_cast<const std::string*>(&text), &overlong}) {
        for (int maxLines : {-1, 1500}) {
            WriteBytes(dir / L"big.dat", *content);
            KeyValueStore fromFile;
            ASSERT_TRUE(fromFile.LoadFile(dir / L"big.dat", maxLines));
            KeyValueStore fromText;
            fromText.LoadText(*content, maxLines);
            EXPECT_TRUE(fromFile == fromText) << content->size() << " bytes, limit " << maxLines;
        }
    }
    KeyValueStore whole;
    ASSERT_TRUE(whole.LoadFile(dir / L"big.dat"));
    EXPECT_EQ(std::string(1023 - 5, 'l'), whole.GetValue("TAIL", "LONG"));
    EXPECT_FALSE(whole.HasKey("TAIL", "AFTER"));
    EXPECT_TRUE(whole.HasKey("SECTION 49", "KEY49"));
}

TEST(KeyValueStore, LoadFile_NulEndsTheLineTextAndOddBytesDoNotStopTheRead)
{
    TempDir dir;
    static const char bytes[] = "A=1\0hidden\r\nB=\x1a\xff\r\nC=3\r\n";
    KeyValueStore store = LoadText(dir, std::string(bytes, sizeof(bytes) - 1));
    EXPECT_EQ("1", store.GetValue("GLOBAL", "A"));
    EXPECT_EQ("\x1a\xff", store.GetValue("GLOBAL", "B"));
    EXPECT_EQ("3", store.GetValue("GLOBAL", "C"));
}

TEST(KeyValueStore, LoadFile_MissingFileFailsAndHeadersAloneAddNothing)
{
    TempDir dir;
    KeyValueStore store;
    store.SetValue("KEEP", "1");
    EXPECT_FALSE(store.LoadFile(dir / L"missing.dat"));
    EXPECT_EQ("1", store.GetValue("GLOBAL", "KEEP"));

    KeyValueStore empty = LoadText(dir, "");
    EXPECT_TRUE(empty.Empty());
    KeyValueStore headers = LoadText(dir, "[A]\n[B]\n[C]\n");
    EXPECT_TRUE(headers.Empty());
}

TEST(KeyValueStore, Copies_OwnTheirEntriesAndKeepTheMapOrder)
{
    // A section far past the room it starts with, and a small one whose keys
    // test the order: a prefix first, bytes compared unsigned.
    auto fill = [](KeyValueStore& store) {
        for (int i = 0; i < 40; ++i)
            store.SetValue("k" + std::to_string(i), "value " + std::to_string(i) + " too long for a short string",
                           "big");
        store.SetValue("B\xC3\xA8", "high byte", "small");
        store.SetValue("B", "prefix", "small");
        store.SetValue("BA", "longer", "small");
    };
    KeyValueStore reference;
    fill(reference);
    auto original = std::make_unique<KeyValueStore>();
    fill(*original);

    KeyValueStore copied = *original;
    KeyValueStore assigned;
    assigned.SetValue("STALE", "x", "BIG");
    assigned = *original;
    KeyValueSection section;
    section = *original->FindSection("BIG");
    section = *original->FindSection("SMALL");

    // The original's memory goes back to the heap and is taken again.
    original.reset();
    {
        KeyValueStore churn;
        for (int i = 0; i < 200; ++i)
            churn.SetValue("X" + std::to_string(i % 20), std::string(40, 'x'), "S" + std::to_string(i));
    }
    EXPECT_TRUE(copied == reference);
    EXPECT_TRUE(assigned == reference);
    EXPECT_FALSE(assigned.HasKey("BIG", "STALE"));
    for (int i = 40; i < 80; ++i)
        copied.SetValue("K" + std::to_string(i), "more", "BIG");
    EXPECT_EQ(80u, copied.FindSection("BIG")->Items().size());
    EXPECT_EQ("value 7 too long for a short string", copied.GetValue("big", "K7"));

    EXPECT_EQ("SMALL", section.Name());
    std::vector<std::string> keys;
    for (const auto& entry : section.Items())
        keys.push_back(entry.first);
    EXPECT_EQ((std::vector<std::string>{"B", "BA", "B\xC3\xA8"}), keys);
    ASSERT_TRUE(section.Find("ba"));
    EXPECT_EQ("longer", section.CurrentValue());
}

TEST(KeyValueStore, SaveFile_WritesGlobalFirstThenSectionsInOrder)
{
    TempDir dir;
    KeyValueStore store;
    store.SetValue("URL", "c", "SERVER");
    store.SetValue("URL", "b", "REPOSITORY");
    store.SetValue("URL", "a");
    EXPECT_EQ("URL=a\r\n\r\n[REPOSITORY]\r\nURL=b\r\n\r\n[SERVER]\r\nURL=c\r\n", SavedText(store, dir));

    KeyValueStore serverOnly;
    serverOnly.SetValue("URL", "x", "server");
    EXPECT_EQ("\r\n[SERVER]\r\nURL=x\r\n", SavedText(serverOnly, dir));
    EXPECT_NE(nullptr, serverOnly.FindSection("GLOBAL")) << "saving adds the empty global section";

    KeyValueStore sortsFirst;
    sortsFirst.SetValue("K", "v", "A");
    EXPECT_EQ("[A]\r\nK=v\r\n", SavedText(sortsFirst, dir));
}

TEST(KeyValueStore, SaveThenLoad_RoundTripsValuesWithSpacesAndBytes)
{
    TempDir dir;
    KeyValueStore store;
    store.SetValue("TITOLO", "Verr\xC3\xA0 aggiornato", "PROG");
    store.SetValue("SPACED", " inner  value", "PROG");
    store.SetValue("EMPTY", "", "PROG");
    store.SetValue("G", "global");
    SavedText(store, dir);
    KeyValueStore back;
    ASSERT_TRUE(back.LoadFile(dir / L"saved.dat"));
    EXPECT_EQ("Verr\xC3\xA0 aggiornato", back.GetValue("PROG", "TITOLO"));
    EXPECT_EQ(" inner  value", back.GetValue("PROG", "SPACED"));
    EXPECT_TRUE(back.HasKey("PROG", "EMPTY"));
    EXPECT_TRUE(back == store);
}

TEST(KeyValueStore, SaveFile_UnwritablePathFails)
{
    TempDir dir;
    KeyValueStore store;
    store.SetValue("A", "1");
    EXPECT_FALSE(store.SaveFile(dir / L"no\\such\\folder\\x.dat"));
}

TEST(KeyValueStore, Registry_RoundTripsSectionsAsSubkeys)
{
    ScratchKey scratch;
    std::string base = "Software\\MorvIndexTests";
    std::string leaf = Utf8FromWide(scratch.Path().substr(scratch.Path().rfind(L'\\') + 1));
    KeyValueStore store;
    store.SetValue("DOWNLOAD_URL", "http://h/x");
    store.SetValue("VERSION", "12", "abc");
    store.SetValue("PATH", "C:\\Prog\\\xC3\xA8", "ABC");
    store.SetValue("PREF", "", "ABC");
    ASSERT_TRUE(store.SaveRegistry("Software", "MorvIndexTests", leaf));

    EXPECT_EQ(L"12", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\ABC", L"VERSION"));
    EXPECT_EQ(L"C:\\Prog\\\u00E8", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\ABC", L"PATH"));

    KeyValueStore back;
    EXPECT_TRUE(back.LoadRegistry(HKEY_CURRENT_USER, "Software", "MorvIndexTests", leaf));
    EXPECT_EQ("http://h/x", back.GetValue("GLOBAL", "DOWNLOAD_URL"));
    EXPECT_EQ("12", back.GetValue("ABC", "VERSION"));
    EXPECT_EQ("C:\\Prog\\\xC3\xA8", back.GetValue("ABC", "PATH"));
    EXPECT_FALSE(back.HasKey("ABC", "PREF")) << "an empty value does not come back";
}

TEST(KeyValueStore, LoadRegistry_SkipsNonStringValuesAndDeeperKeys)
{
    ScratchKey scratch;
    WriteRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\index", L"TOP", L"1");
    WriteRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\index\\SEC", L"K", L"v");
    WriteRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\index\\SEC\\DEEP", L"K", L"deep");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, (scratch.Path() + L"\\index").c_str(), 0,
                                           KEY_SET_VALUE, &key));
    DWORD number = 7;
    RegSetValueExW(key, L"NUMBER", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    RegCloseKey(key);

    std::string leaf = Utf8FromWide(scratch.Path().substr(scratch.Path().rfind(L'\\') + 1));
    KeyValueStore store;
    store.LoadRegistry(HKEY_CURRENT_USER, "Software", "MorvIndexTests\\" + leaf, "index");
    EXPECT_EQ("1", store.GetValue("GLOBAL", "TOP"));
    EXPECT_EQ("v", store.GetValue("SEC", "K"));
    EXPECT_FALSE(store.HasKey("GLOBAL", "NUMBER"));
    EXPECT_EQ(nullptr, store.FindSection("DEEP"));

    KeyValueStore missing;
    EXPECT_TRUE(missing.LoadRegistry(HKEY_CURRENT_USER, "Software", "MorvIndexTests\\" + leaf, "nokey"));
    EXPECT_TRUE(missing.Empty());
}

TEST(KeyValueStore, SaveRegistry_NeverDeletesWhatTheStoreNoLongerHolds)
{
    ScratchKey scratch;
    WriteRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\OLD", L"K", L"kept");
    std::string leaf = Utf8FromWide(scratch.Path().substr(scratch.Path().rfind(L'\\') + 1));
    KeyValueStore store;
    store.SetValue("K", "new", "NEW");
    ASSERT_TRUE(store.SaveRegistry("Software", "MorvIndexTests", leaf));
    EXPECT_EQ(L"kept", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\OLD", L"K"));
    EXPECT_EQ(L"new", ReadRegString(HKEY_CURRENT_USER, scratch.Path() + L"\\NEW", L"K"));
}
