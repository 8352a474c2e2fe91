// The catalogue worker without the maker's key: fetching the catalogue files
// with their backups and redirects, reading the index into records joined
// with the installed state, thumbnails, size limits, serials and expiry.
#include "catalogue/Catalogue.h"
#include "catalogue/CatalogueFiles.h"
#include "format/CatalogueFormat.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "tests/CatalogueFixture.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>

using namespace testing_support;

namespace {

const std::string kIndex = "[SERVER_A]\r\nSW_TYPE=0\r\n";

} // namespace

TEST(ParseNumber, LeadingBlanksSignAndDigitsOnly)
{
    EXPECT_EQ(12, ParseNumber("12"));
    EXPECT_EQ(-7, ParseNumber("  -7abc"));
    EXPECT_EQ(5, ParseNumber("+5"));
    EXPECT_EQ(0, ParseNumber(""));
    EXPECT_EQ(0, ParseNumber("x12"));
    EXPECT_EQ(2147483647, ParseNumber("99999999999999999999"));
}

TEST_F(CatalogueTest, FirstRunFetchesOnceAndKeepsNoBackup)
{
    Serve({{"/sw_index.dat", kIndex}});
    std::string local = Fetch();
    EXPECT_EQ(dir.Narrow() + "sw_index.dat", local);
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat"));
    EXPECT_FALSE(FileExists(dir / L"sw_index.dat.bak"));
    EXPECT_EQ(std::vector<std::string>{"Download index file..."}, sink.statusTexts);
}

TEST_F(CatalogueTest, SecondRunKeepsThePreviousCopyAsBackup)
{
    WriteBytes(dir / L"sw_repo.dat", "[OLD]\r\nURL=http://old/\r\n");
    Serve({{"/sw_repo.dat", "[NEW]\r\nURL=http://new/\r\n"}});
    Fetch("sw_repo");
    EXPECT_EQ("[OLD]\r\nURL=http://old/\r\n", ReadBytes(dir / L"sw_repo.dat.bak"));
    EXPECT_EQ("[NEW]\r\nURL=http://new/\r\n", ReadBytes(dir / L"sw_repo.dat"));
    EXPECT_EQ(std::vector<std::string>{"Download repository file..."}, sink.statusTexts);
}

TEST_F(CatalogueTest, ServerDownRestoresTheBackupAfterThreeAttempts)
{
    WriteBytes(dir / L"sw_index.dat", kIndex);
    ServeNothing();
    Fetch();
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat"));
    std::vector<std::string> expected = {"Download index file...", "Download index file...[1 chance]",
                                         "Download index file...[2 chance]", "Download index file...[2 chance]"};
    EXPECT_EQ(expected, sink.statusTexts);
}

TEST_F(CatalogueTest, ServerDownOnFirstRunLeavesNoFile)
{
    ServeNothing();
    std::string local = Fetch("sw_repo");
    EXPECT_FALSE(FileExists(WideFromUtf8(local)));
    EXPECT_EQ(3u, sink.statusTexts.size());
    EXPECT_EQ("Download repository file...[2 chance]", sink.statusTexts.back());
}

TEST_F(CatalogueTest, ErrorPageCountsAsAFailedDownload)
{
    WriteBytes(dir / L"sw_index.dat", kIndex);
    Serve({});
    Fetch();
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat")) << "the backup, not the 404 page";
}

TEST_F(CatalogueTest, RedirectInTheFirstTenLinesIsFollowedForThisRunOnly)
{
    LoopbackServer target(StaticFiles({{"/real/sw_index.dat", kIndex}}));
    Serve({{"/sw_index.dat", "[REDIRECT]\r\nURL=" + target.Url("/real/sw_index.dat") + "\r\n"}});
    Fetch();
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat"));
    EXPECT_EQ(target.Url("/real/sw_index.dat"), state.m_indexUrl);
    std::vector<std::string> expected = {"Download index file...", "Download index file...[1 chance]"};
    EXPECT_EQ(expected, sink.statusTexts);
}

TEST_F(CatalogueTest, RedirectBelowLineTenOrWithEmptyUrlIsIgnored)
{
    std::string late;
    for (int i = 0; i < 10; ++i)
        late += "[S" + std::to_string(i) + "]\r\n";
    late += "[REDIRECT]\r\nURL=http://elsewhere/\r\n";
    Serve({{"/sw_index.dat", late}, {"/sw_repo.dat", "[REDIRECT]\r\nURL=\r\n[A]\r\nURL=x\r\n"}});
    std::string original = state.m_indexUrl;
    Fetch();
    EXPECT_EQ(late, ReadBytes(dir / L"sw_index.dat"));
    EXPECT_EQ(original, state.m_indexUrl);
    Fetch("sw_repo");
    EXPECT_TRUE(FileExists(dir / L"sw_repo.dat"));
}

TEST_F(CatalogueTest, EndlessRedirectsStopAndFallBackToTheBackup)
{
    WriteBytes(dir / L"sw_index.dat", kIndex);
    LoopbackServer* self = nullptr;
    LoopbackServer loop([&self](const HttpRequest&) {
        HttpResponse response;
        response.body = "[REDIRECT]\r\nURL=" + self->Url("/again") + "\r\n";
        return response;
    });
    self = &loop;
    state.m_indexUrl = loop.Url("/sw_index.dat");
    Fetch();
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat"));
    EXPECT_EQ(3u, loop.Requests().size()) << "the file's three attempts, shared by its redirects";
}

TEST_F(CatalogueTest, LocalFileThatCannotBeRemovedIsUsedUnchanged)
{
    WriteBytes(dir / L"sw_index.dat", kIndex);
    Serve({{"/sw_index.dat", "[OTHER]\r\nSW_TYPE=0\r\n"}});
    HANDLE held = CreateFileW((dir / L"sw_index.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Fetch();
    CloseHandle(held);
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat"));
    EXPECT_TRUE(sink.statusTexts.empty());
    EXPECT_TRUE(server->Requests().empty());
}

namespace {
const char kFullIndex[] =
    "[PATHS]\r\nBASE=http://files.example/sw/\r\n"
    "[tool]\r\nSW_TYPE=0\r\nBUILD_DISP=12\r\nTITOLO=Strumento\r\nDESCR=Descrizione\r\nCAT=B\r\nTHUMB=img/shared.png\r\n"
    "TO_EXECUTE=tool.exe\r\nCHANGELOG_FILE=tool/changes.txt\r\nDEPS=LIBA,LIBB\r\n"
    "SHA256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\r\nSIZE=3\r\n"
    "[LIBA]\r\nSW_TYPE=100\r\nBUILD_DISP=3\r\nSIZE=12 KB\r\n"
    "[ALPHA]\r\nSW_TYPE=1\r\nDOWNLOAD_FILE=x/y.zip\r\nCAT=A\r\nTHUMB=img/shared.png\r\nSHA256=ba7816bf\r\n"
    "[BETA]\r\nSW_TYPE=0\r\nCAT=B\r\nTHUMB=img/beta.png\r\nBUILD_DISP=-2\r\n"
    "[NOTAPROGRAM]\r\nSWTYPE=0\r\n"
    "[EMPTYCAT]\r\nSW_TYPE=0\r\nCAT=\r\n";
}

TEST_F(CatalogueTest, IndexBecomesRecordsInSectionOrderWithDerivedAddresses)
{
    KeyValueStore index;
    WriteBytes(dir / L"index.dat", kFullIndex);
    ASSERT_TRUE(index.LoadFile(dir / L"index.dat"));
    KeyValueSection* tool = index.FindSection("TOOL");
    ASSERT_NE(nullptr, tool);
    SoftwareRecord record = BuildRecord(*tool, "http://files.example/sw/");
    EXPECT_EQ("TOOL", record.name);
    EXPECT_EQ("Strumento", record.title);
    EXPECT_EQ(12, record.availableBuild);
    EXPECT_EQ("http://files.example/sw/TOOL/TOOL_12.zip", record.downloadAddress);
    EXPECT_EQ("http://files.example/sw/tool/changes.txt", record.changelogAddress);
    EXPECT_EQ("http://files.example/sw/img/shared.png", record.thumbnailAddress);
    EXPECT_EQ("LIBA,LIBB", record.dependencies);
    EXPECT_EQ("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", record.archiveSha256);
    EXPECT_EQ(3, record.archiveSize);
    EXPECT_FALSE(record.archiveCheckMalformed);

    SoftwareRecord library = BuildRecord(*index.FindSection("LIBA"), "B/");
    EXPECT_EQ("B/deps/LIBA.zip", library.downloadAddress);
    EXPECT_TRUE(library.archiveCheckMalformed) << "a SIZE that is no decimal size matches no archive";
    SoftwareRecord alpha = BuildRecord(*index.FindSection("ALPHA"), "B/");
    EXPECT_EQ("B/x/y.zip", alpha.downloadAddress);
    EXPECT_TRUE(alpha.archiveCheckMalformed) << "a SHA256 that is no digest matches no archive";
    SoftwareRecord beta = BuildRecord(*index.FindSection("BETA"), "B/");
    EXPECT_EQ("B/BETA/BETA_-2.zip", beta.downloadAddress);
    EXPECT_EQ("", beta.archiveSha256);
    EXPECT_EQ(-1, beta.archiveSize);
    EXPECT_FALSE(beta.archiveCheckMalformed);
}

namespace {

// The index as the store reads it: every section into a store, then the
// store walked in its own order. What ReadCatalogue must give for any text.
BuiltCatalogue CatalogueThroughTheStore(const std::string& indexFile, const KeyValueStore& settings)
{
    BuiltCatalogue built;
    built.categories.push_back(L"*");
    std::set<std::string> seen;
    KeyValueStore index;
    index.LoadFile(indexFile);
    if (!IndexSectionsWithinLimit(index))
        index.Clear();
    const std::string base = index.GetValue("PATHS", "BASE");
    built.expires = index.GetValue("PATHS", "EXPIRES");
    std::set<std::string> thumbnails;
    for (auto& entry : index.AllSections()) {
        KeyValueSection& section = entry.second;
        if (!section.Find("SW_TYPE") || !IsSafeFileName(section.Name()))
            continue;
        SoftwareRecord record = BuildRecord(section, base);
        if (section.Find("CAT") && seen.insert(record.category).second)
            built.categories.push_back(WideFromUtf8(record.category));
        built.installed += ApplyInstalledState(record, settings) ? 1 : 0;
        if (!record.thumbnailAddress.empty())
            thumbnails.insert(record.thumbnailAddress);
        built.records.push_back(std::move(record));
    }
    built.thumbnails.assign(thumbnails.begin(), thumbnails.end());
    return built;
}

void ExpectSameCheck(const FileCheck& expected, const FileCheck& actual, const std::string& where)
{
    EXPECT_EQ(expected.sha256, actual.sha256) << where;
    EXPECT_EQ(expected.size, actual.size) << where;
    EXPECT_EQ(expected.malformed, actual.malformed) << where;
}

void ExpectSameRecord(const SoftwareRecord& expected, const SoftwareRecord& actual, const std::string& where)
{
    EXPECT_EQ(expected.name, actual.name) << where;
    EXPECT_EQ(expected.title, actual.title) << where;
    EXPECT_EQ(expected.description, actual.description) << where;
    EXPECT_EQ(expected.availableBuild, actual.availableBuild) << where;
    EXPECT_EQ(expected.type, actual.type) << where;
    EXPECT_EQ(expected.thumbnailAddress, actual.thumbnailAddress) << where;
    EXPECT_EQ(expected.installedBuild, actual.installedBuild) << where;
    EXPECT_EQ(expected.installedFolder, actual.installedFolder) << where;
    EXPECT_EQ(expected.favourite, actual.favourite) << where;
    EXPECT_EQ(expected.downloadAddress, actual.downloadAddress) << where;
    EXPECT_EQ(expected.changelogAddress, actual.changelogAddress) << where;
    EXPECT_EQ(expected.programToExecute, actual.programToExecute) << where;
    EXPECT_EQ(expected.category, actual.category) << where;
    EXPECT_EQ(expected.dependencies, actual.dependencies) << where;
    EXPECT_EQ(expected.archiveSha256, actual.archiveSha256) << where;
    EXPECT_EQ(expected.archiveSize, actual.archiveSize) << where;
    EXPECT_EQ(expected.archiveCheckMalformed, actual.archiveCheckMalformed) << where;
    ExpectSameCheck(expected.thumbnailCheck, actual.thumbnailCheck, where + " thumbnail");
    ExpectSameCheck(expected.changelogCheck, actual.changelogCheck, where + " change log");
    EXPECT_EQ(expected.entriesSha256, actual.entriesSha256) << where;
    EXPECT_EQ(expected.entriesSize, actual.entriesSize) << where;
}

} // namespace

// The index is read straight into records, without the store: for texts
// that try every line rule, the result is the store's, field by field.
TEST_F(CatalogueTest, IndexReadStraightIntoRecordsIsWhatTheStoreReads)
{
    const std::string digest = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    auto programs = [](int count) {
        std::string sections;
        for (int i = 0; i < count; ++i)
            sections += "[P" + std::to_string(i) + "]\r\nSW_TYPE=0\r\n";
        return sections;
    };
    static const char nul[] = "[NUL]\r\nSW_TYPE=0\r\nTITOLO=ab\0cd\r\nDESCR=after\r\n";
    const std::vector<std::string> texts = {
        // One section in three pieces, keys in any case, the later value winning.
        "[Tool]\r\nsw_type=0\r\nTitolo=first\r\nThumb=a.png\r\n[OTHER]\r\nSW_TYPE=1\r\nCAT=o\r\n"
        "[tool]\r\nTITOLO=second\r\nDescr=d\r\ntitolo=third\r\nsha256=" + digest + "\r\nSIZE=3\r\n"
        "[TOOL]\r\nTHUMB=b.png\r\nthumb_sha256=xyz\r\nCHANGELOG_SIZE=7\r\nENTRIES_SHA256=" + digest + "\r\n"
        "ENTRIES_SIZE=x\r\nDOWNLOAD_FILE=d/t.zip\r\nCHANGELOG_FILE=c.txt\r\nBUILD_DISP=4\r\n",
        std::string(nul, sizeof nul - 1),
        "[LONG]\nSW_TYPE=0\nTITOLO=" + std::string(1016, 'x') + "\nDESCR=" + std::string(2000, 'y') +
            "\n[AFTER]\nSW_TYPE=0\n",
        "[HUGE]\r\nSW_TYPE=0\r\nDESCR=" + std::string(70000, 'z') + "\r\n[NEXT]\r\nSW_TYPE=0\r\n",
        "[CR]\rSW_TYPE=0\rTITOLO=x\r\n[LF]\nSW_TYPE=0\nTITOLO=y\n\n[LAST]\r\nSW_TYPE=100\r\nTITOLO=no end",
        // Entries before any header, and in a [global] of their own.
        "SW_TYPE=0\r\nTITOLO=before\r\n[global]\r\nCAT=g\r\n[EMPTY]\r\n[ALSO]\r\n",
        "[]\r\nSW_TYPE=0\r\n[a]b\r\nSW_TYPE=0\r\nCAT=a\r\n[b]\r\nSW_TYPE\r\nCAT\r\n",
        "[..]\r\nSW_TYPE=0\r\n[CON]\r\nSW_TYPE=0\r\n[A/B]\r\nSW_TYPE=0\r\n[DOT.]\r\nSW_TYPE=0\r\n"
        "  [ SPACE ]  \r\n  SW_TYPE = 0  \r\n\t[TAB]\t\r\n\tSW_TYPE=0\t\r\n",
        // Upper-cased names sort before "_", unlike lower-case ones; bytes
        // over 0x7F after every letter.
        "[_x]\r\nSW_TYPE=0\r\nCAT=u\r\n[a]\r\nSW_TYPE=0\r\nCAT=a\r\n[\xC3\xA9t\xC3\xA9]\r\nSW_TYPE=0\r\nCAT=e\r\n"
        "[Z]\r\nSW_TYPE=0\r\nCAT=u\r\n[Longname_b]\r\nSW_TYPE=0\r\n[LONGNAME_A]\r\nSW_TYPE=0\r\n[longname]\r\nSW_TYPE=0\r\n",
        "[P]\r\nSW_TYPE=0\r\nTHUMB=t.png\r\nDEPS=a,b\r\n[PATHS]\r\nBASE=http://a/\r\n[INSTALLED]\r\nSW_TYPE=0\r\n"
        "DESCR=a=b\r\n[paths]\r\nbase=http://b/\r\nEXPIRES=2030-01-01T00:00:00Z\r\nSW_TYPE=2\r\n",
        "[GLOBAL]\r\nX=1\r\n" + programs(10000),
        "[GLOBAL]\r\nX=1\r\n" + programs(10001),
        "[PATHS]\r\nEXPIRES=2030-01-01T00:00:00Z\r\n" + programs(10000),
    };
    KeyValueStore settings;
    settings.SetValue("PATH", "C:\\apps\\tool", "TOOL");
    settings.SetValue("VERSION", "3", "TOOL");
    settings.SetValue("PATH", "C:\\apps\\installed", "Installed");
    settings.SetValue("PREF", "Y", "INSTALLED");
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string where = "text " + std::to_string(i);
        WriteBytes(dir / L"index.dat", texts[i]);
        const std::string file = dir.Narrow() + "index.dat";
        const BuiltCatalogue expected = CatalogueThroughTheStore(file, settings);
        const BuiltCatalogue actual = ReadCatalogue(file, L"*", &settings);
        ASSERT_EQ(expected.records.size(), actual.records.size()) << where;
        for (size_t r = 0; r < expected.records.size(); ++r)
            ExpectSameRecord(expected.records[r], actual.records[r], where + " record " + std::to_string(r));
        EXPECT_EQ(expected.categories, actual.categories) << where;
        EXPECT_EQ(expected.installed, actual.installed) << where;
        EXPECT_EQ(expected.thumbnails, actual.thumbnails) << where;
        EXPECT_EQ(expected.expires, actual.expires) << where;
    }
}

TEST_F(CatalogueTest, InstalledStateNeedsANonEmptyPath)
{
    KeyValueStore settings;
    settings.SetValue("PATH", "C:\\apps\\TOOL", "TOOL");
    settings.SetValue("VERSION", "11", "TOOL");
    settings.SetValue("PREF", "1", "TOOL");
    settings.SetValue("PATH", "", "BETA");
    settings.SetValue("VERSION", "5", "BETA");
    settings.SetValue("PREF", "1", "BETA");

    SoftwareRecord tool;
    tool.name = "TOOL";
    EXPECT_TRUE(ApplyInstalledState(tool, settings));
    EXPECT_EQ(11, tool.installedBuild);
    EXPECT_EQ("C:\\apps\\TOOL", tool.installedFolder);
    EXPECT_EQ("1", tool.favourite);

    SoftwareRecord beta;
    beta.name = "BETA";
    EXPECT_FALSE(ApplyInstalledState(beta, settings));
    EXPECT_EQ(0, beta.installedBuild);
    EXPECT_EQ("", beta.favourite) << "a favourite mark on an uninstalled program has no effect";
}

TEST_F(CatalogueTest, LoadCatalogueBuildsEverythingAndFetchesSharedThumbnailsOnce)
{
    std::string indexUrl = server->Url("/sw_index.dat");
    std::string index = kFullIndex;
    index.replace(index.find("http://files.example/sw/"), 24, server->Url("/"));
    Serve({{"/sw_index.dat", index},
           {"/sw_repo.dat", "[MAIN]\r\nURL=http://main/sw_index.dat\r\n[TEST]\r\nURL=" + indexUrl + "\r\n[NOURL]\r\nX=1\r\n"},
           {"/img/shared.png", "shared picture bytes"},
           {"/img/beta.png", "beta picture bytes"}});
    state.m_settings.SetValue("PATH", "C:\\apps\\TOOL", "TOOL");
    state.m_settings.SetValue("VERSION", "11", "TOOL");

    LoadCatalogue(state, sink);

    EXPECT_EQ((std::vector<std::wstring>{L"MAIN", L"TEST"}), sink.servers);
    EXPECT_EQ(1, sink.selected);
    EXPECT_EQ((std::vector<std::string>{"http://main/sw_index.dat", indexUrl}), state.m_servers);

    std::vector<std::string> names;
    for (const SoftwareRecord& record : state.m_catalogue)
        names.push_back(record.name);
    EXPECT_EQ((std::vector<std::string>{"ALPHA", "BETA", "EMPTYCAT", "LIBA", "TOOL"}), names);
    EXPECT_EQ((std::vector<std::wstring>{sink.AllCategoriesText(), L"A", L"B", L""}), state.m_categories);
    EXPECT_EQ(1, sink.installedCount);
    EXPECT_EQ(11, state.m_catalogue[4].installedBuild);
    EXPECT_EQ(1, sink.refills);
    EXPECT_TRUE(sink.ready);

    // Two distinct addresses, in ascending order: beta.png before shared.png.
    EXPECT_EQ((std::pair<int, int>{0, 2}), sink.range);
    ASSERT_EQ(2u, sink.thumbnails.size());
    EXPECT_EQ(dir.Narrow() + "img_sw_1.png", sink.thumbnails[0].second);
    EXPECT_EQ("beta picture bytes", ReadBytes(dir / L"img_sw_1.png"));
    EXPECT_EQ("shared picture bytes", ReadBytes(dir / L"img_sw_2.png"));
    EXPECT_EQ(dir.Narrow() + "img_sw_2.png", state.m_catalogue[0].thumbnailFile);
    EXPECT_EQ(dir.Narrow() + "img_sw_2.png", state.m_catalogue[4].thumbnailFile);
    EXPECT_EQ(dir.Narrow() + "img_sw_1.png", state.m_catalogue[1].thumbnailFile);
    int pictureRequests = 0;
    for (const HttpRequest& request : server->Requests())
        pictureRequests += request.target.find("/img/") == 0;
    EXPECT_EQ(2, pictureRequests);

    std::vector<std::string> tail(sink.statusTexts.end() - 3, sink.statusTexts.end());
    EXPECT_EQ((std::vector<std::string>{"Download thumbnails... 1/2", "Download thumbnails... 2/2", ""}), tail);
    EXPECT_EQ(0, sink.positions.back());

    // A second run over the same catalogue size asks for no refill.
    RecordingSink again(state);
    LoadCatalogue(state, again);
    EXPECT_EQ(0, again.refills);
}

TEST_F(CatalogueTest, NothingReachableGivesAnEmptyCatalogueAndNoServers)
{
    ServeNothing();
    LoadCatalogue(state, sink);
    EXPECT_TRUE(state.m_catalogue.empty());
    EXPECT_EQ(std::vector<std::wstring>{sink.AllCategoriesText()}, state.m_categories);
    EXPECT_TRUE(sink.servers.empty());
    EXPECT_EQ(1, sink.resets);
    EXPECT_EQ(0, sink.refills);
    EXPECT_TRUE(sink.ready);
    EXPECT_EQ("", sink.statusTexts.back());
}

TEST_F(CatalogueTest, GarbageIndexFilesYieldOnlyWhatParses)
{
    std::mt19937 random(3);
    std::string noise(300000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    std::string longLine = "[BIG]\r\nSW_TYPE=0\r\nDESCR=" + std::string(2 * 1024 * 1024, 'x') + "\r\n[AFTER]\r\nSW_TYPE=0\r\n";
    static const char nulBytes[] = "[NULBYTE]\r\nSW_TYPE=0\r\nTITOLO=ab\0cd\r\n";
    std::string withNul(nulBytes, sizeof(nulBytes) - 1);
    std::string headers = "[A]\r\n[B]\r\n[C]\r\n";
    for (const std::string& index : {noise, longLine, withNul, headers}) {
        Serve({{"/sw_index.dat", index}});
        LoadCatalogue(state, sink);
        for (const SoftwareRecord& record : state.m_catalogue)
            EXPECT_FALSE(record.name.empty());
    }
    // The 2 MB line is cut at 1023 bytes and ends the read: BIG only.
    Serve({{"/sw_index.dat", longLine}});
    LoadCatalogue(state, sink);
    ASSERT_EQ(1u, state.m_catalogue.size());
    EXPECT_EQ("BIG", state.m_catalogue[0].name);
    Serve({{"/sw_index.dat", withNul}});
    LoadCatalogue(state, sink);
    ASSERT_EQ(1u, state.m_catalogue.size());
    EXPECT_EQ("ab", state.m_catalogue[0].title);
    Serve({{"/sw_index.dat", headers}});
    LoadCatalogue(state, sink);
    EXPECT_TRUE(state.m_catalogue.empty());
    // Section names become folder names: one that is no plain file name is no entry.
    Serve({{"/sw_index.dat", "[..\\..\\EVIL]\r\nSW_TYPE=0\r\n[A/B]\r\nSW_TYPE=0\r\n[AUX]\r\nSW_TYPE=0\r\n"
                             "[DOT.]\r\nSW_TYPE=0\r\n[GOOD]\r\nSW_TYPE=0\r\n"}});
    LoadCatalogue(state, sink);
    ASSERT_EQ(1u, state.m_catalogue.size());
    EXPECT_EQ("GOOD", state.m_catalogue[0].name);
}

TEST_F(CatalogueTest, FailedBackupCopyStillDownloadsAndKeepsThePreviousCopyUntilThen)
{
    WriteBytes(dir / L"sw_index.dat", kIndex);
    std::filesystem::create_directory(dir / L"sw_index.dat.bak"); // no file can be copied there
    ServeNothing();
    Fetch();
    EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat")) << "kept while no download arrives";
    EXPECT_EQ(4u, sink.statusTexts.size()) << "three attempts and the pass over the kept copy";

    Serve({{"/sw_index.dat", "[OTHER]\r\nSW_TYPE=0\r\n"}});
    Fetch();
    EXPECT_EQ("[OTHER]\r\nSW_TYPE=0\r\n", ReadBytes(dir / L"sw_index.dat")) << "the fresh download went ahead";
    EXPECT_EQ(1u, server->Requests().size());
}

// An index or repository over 8 MB, or an index of more than 10,000
// sections, fails like a broken download: the last good copy stays in use.
// A thumbnail over 2 MB is no thumbnail.
TEST_F(CatalogueTest, OversizedCatalogueFilesAndThumbnailsFailLikeBrokenDownloads)
{
    WriteBytes(dir / L"sw_index.dat", kIndex);
    WriteBytes(dir / L"sw_repo.dat", "[OLD]\r\nURL=http://old/\r\n");
    auto programs = [](int count) {
        std::string sections;
        for (int i = 0; i < count; ++i)
            sections += "[P" + std::to_string(i) + "]\r\nSW_TYPE=0\r\n";
        return sections;
    };
    const std::string huge = "[HUGE]\r\nSW_TYPE=0\r\n" + std::string(8 * 1024 * 1024, '\n');
    const auto asked = [this](const std::string& path) {
        size_t count = 0;
        for (const HttpRequest& request : server->Requests())
            count += request.target == path;
        return count;
    };
    for (const std::string& index : {huge, programs(10001)}) {
        Serve({{"/sw_index.dat", index}, {"/sw_repo.dat", "[NEW]\r\nURL=" + huge + "\r\n"}});
        const size_t before = asked("/sw_index.dat"), repositoryBefore = asked("/sw_repo.dat");
        EXPECT_EQ(dir.Narrow() + "sw_index.dat", Fetch());
        EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat")) << "the backup, not the oversized index";
        Fetch("sw_repo");
        EXPECT_EQ("[OLD]\r\nURL=http://old/\r\n", ReadBytes(dir / L"sw_repo.dat"));
        EXPECT_EQ(1u, asked("/sw_index.dat") - before) << "over its limit once is over it again";
        EXPECT_EQ(1u, asked("/sw_repo.dat") - repositoryBefore);
    }
    // An endless body is refused by its length before it is read, or at the
    // byte that passes the limit, and not asked for again.
    for (bool announced : {true, false}) {
        LoopbackServer endless([announced](const HttpRequest&) {
            HttpResponse response;
            response.generatedSize = 1ull << 40;
            response.closeDelimited = !announced;
            return response;
        });
        state.m_indexUrl = endless.Url("/sw_index.dat");
        FetchOutcome outcome;
        FetchCatalogueFile("sw_index", state, sink, &outcome);
        EXPECT_TRUE(outcome.usable && !outcome.fresh && outcome.overLimit) << announced;
        EXPECT_EQ(kIndex, ReadBytes(dir / L"sw_index.dat")) << announced;
        EXPECT_EQ(1u, endless.Requests().size()) << announced;
    }
    // An oversized index already on disk yields no records.
    WriteBytes(dir / L"big.dat", programs(10001));
    BuildCatalogue(state, dir.Narrow() + "big.dat", sink);
    EXPECT_TRUE(state.m_catalogue.empty());

    const std::string base = "[PATHS]\r\nBASE=" + server->Url("/") + "\r\n";
    // PATHS, 9,997 programs and two with thumbnails: 10,000 sections.
    Serve({{"/sw_index.dat", base + programs(9997) +
                                 "[BIG]\r\nSW_TYPE=0\r\nTHUMB=big.png\r\n[FIT]\r\nSW_TYPE=0\r\nTHUMB=fit.png\r\n"},
           {"/big.png", std::string(2 * 1024 * 1024 + 1, 'b')},
           {"/fit.png", std::string(2 * 1024 * 1024, 'f')}});
    LoadCatalogue(state, sink);
    EXPECT_EQ(9999u, state.m_catalogue.size()) << "10,000 sections are an index like any other";
    ASSERT_EQ(1u, sink.thumbnails.size());
    EXPECT_EQ(server->Url("/fit.png"), sink.thumbnails[0].first);
}

// Pieces of downloads and writes cut by the end of the last run go at the
// next start; everything else stays.
TEST_F(CatalogueTest, LeftoversOfCutTransfersAreRemovedAtTheStart)
{
    std::filesystem::create_directories(dir / L"deps");
    std::filesystem::create_directories(dir / L"apps_cache");
    std::filesystem::create_directories(dir / L"apps\\ABC");
    const std::vector<std::wstring> leftovers = {L"sw_index.dat.new.part", L"img_sw_1.png.part",
                                                 L"deps\\LIBA.zip.part", L"apps_cache\\ABC.zip.part",
                                                 L"apps_cache\\ABC.zip.tmp"};
    const std::vector<std::wstring> kept = {L"sw_index.dat.bak", L"deps\\LIBA.zip", L"apps_cache\\ABC.zip",
                                            L"apps\\ABC\\data.tmp", L"changelog.txt",
                                            L"invoke.morvindex.tmp"}; // a request on its way
    for (const std::wstring& file : leftovers)
        WriteBytes(dir / file, "cut short");
    for (const std::wstring& file : kept)
        WriteBytes(dir / file, "whole");
    ServeNothing();
    LoadCatalogue(state, sink);
    for (const std::wstring& file : leftovers)
        EXPECT_FALSE(FileExists(dir / file)) << Utf8FromWide(file);
    for (const std::wstring& file : kept)
        EXPECT_TRUE(FileExists(dir / file)) << Utf8FromWide(file);
}

TEST(IndexSerial, PresentDecimalAndNotLowerThanTheHighestAccepted)
{
    EXPECT_EQ(0, ParseIndexSerial("0"));
    EXPECT_EQ(20261208, ParseIndexSerial("20261208"));
    for (const char* text : {"", " 5", "5 ", "+5", "-5", "5a", "0x10", "1234567890123456789"})
        EXPECT_EQ(-1, ParseIndexSerial(text)) << text;
    EXPECT_EQ(kMaxSerial, ParseIndexSerial(std::to_string(kMaxSerial)));

    const std::string bytesA(64, 'a'), bytesB(64, 'b');
    SerialRecord none, seven{7, bytesA}, sevenUnknown{7, ""};
    EXPECT_TRUE(SerialAcceptable("0", bytesA, none)) << "the first file ever";
    EXPECT_TRUE(SerialAcceptable("7", bytesA, seven)) << "the same file again";
    EXPECT_FALSE(SerialAcceptable("7", bytesB, seven)) << "other bytes at the same SERIAL: a replay";
    EXPECT_TRUE(SerialAcceptable("7", bytesB, sevenUnknown)) << "bytes not known";
    EXPECT_TRUE(SerialAcceptable("8", bytesB, seven));
    EXPECT_FALSE(SerialAcceptable("6", bytesA, seven));
    EXPECT_FALSE(SerialAcceptable("", bytesA, none)) << "missing";
    EXPECT_FALSE(SerialAcceptable("seven", bytesA, none));

    // One record per kind of file and per key.
    PublicKey maker, other;
    ASSERT_TRUE(ParsePublicKey(kMakerKey.spkiBase64, maker));
    ASSERT_TRUE(ParsePublicKey(kOtherKey.spkiBase64, other));
    const std::string makerIndex = SerialSettingName(true, KeyFingerprint(maker));
    EXPECT_EQ(16u, KeyFingerprint(maker).size());
    EXPECT_NE(makerIndex, SerialSettingName(true, KeyFingerprint(other)));
    EXPECT_NE(makerIndex, SerialSettingName(false, KeyFingerprint(maker)));
    EXPECT_EQ("INDEX_SERIAL_", makerIndex.substr(0, 13));

    KeyValueStore settings;
    EXPECT_EQ(-1, HighestSerial(settings, makerIndex).serial);
    EXPECT_TRUE(RaiseSerial(settings, makerIndex, seven));
    EXPECT_EQ("7 " + bytesA, settings.GetValue(KeyValueStore::kGlobal, makerIndex));
    EXPECT_FALSE(RaiseSerial(settings, makerIndex, SerialRecord{6, bytesB}));
    EXPECT_FALSE(RaiseSerial(settings, makerIndex, SerialRecord{7, bytesB})) << "the bytes kept stay";
    EXPECT_EQ(bytesA, HighestSerial(settings, makerIndex).sha256);
    EXPECT_EQ(7, HighestSerial(settings, makerIndex).serial);
    EXPECT_EQ(-1, HighestSerial(settings, SerialSettingName(true, KeyFingerprint(other))).serial)
        << "a new key starts afresh";
}

TEST(CatalogueExpiry, FixedUtcFormOrdersAsText)
{
    EXPECT_TRUE(IsExpiryText("2026-12-08T14:53:55Z"));
    for (const char* text : {"", "2026-12-08", "2026-12-08 14:53:55Z", "2026-12-08T14:53:55", "x026-12-08T14:53:55Z"})
        EXPECT_FALSE(IsExpiryText(text)) << text;
    EXPECT_TRUE(IsExpiryText(UtcNowText()));
    FILETIME epoch = {};
    SYSTEMTIME time = {2027, 1, 0, 7, 9, 5, 3, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&time, &epoch));
    EXPECT_EQ("2027-01-07T09:05:03Z", ExpiryText(epoch));

    const std::string now = "2026-12-08T14:53:55Z";
    EXPECT_FALSE(CatalogueExpired("", now)) << "no EXPIRES: none";
    EXPECT_FALSE(CatalogueExpired("2026-12-08T14:53:56Z", now));
    EXPECT_TRUE(CatalogueExpired("2026-12-08T14:53:55Z", now));
    EXPECT_TRUE(CatalogueExpired("2025-01-01T00:00:00Z", now));
    EXPECT_TRUE(CatalogueExpired("tomorrow", now)) << "a malformed one counts as expired";
}
