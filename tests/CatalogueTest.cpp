// The catalogue fetched from a loopback server: backups, failures and
// redirects, the index made into records, thumbnails, and signed catalogues
// (SERIAL, EXPIRES, ROLE, the keys file and the root).
#include "catalogue/Catalogue.h"
#include "catalogue/CatalogueFiles.h"
#include "publish/Signing.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>

using namespace testing_support;

namespace {

// Records everything the worker reports, and applies thumbnails as the window would.
class RecordingSink : public CatalogueSink {
public:
    explicit RecordingSink(LauncherState& state) : m_state(state) {}
    void SetStatusText(const std::string& text) override { statusTexts.push_back(text); }
    void SetProgressRange(int low, int high) override { range = {low, high}; }
    void SetProgressPos(int position) override { positions.push_back(position); }
    void ResetServers() override
    {
        servers.clear();
        selected = -1;
        ++resets;
    }
    void AddServer(const std::wstring& name) override { servers.push_back(name); }
    void SelectServer(int index) override { selected = index; }
    void SetInstalledCount(int count) override { installedCount = count; }
    void RequestRefill() override { ++refills; }
    void CatalogueReady() override { ready = true; }
    void SerialAccepted(const std::string& name, long long serial, const std::string& sha256) override
    {
        SerialRecord record;
        record.serial = serial;
        record.sha256 = sha256;
        accepted[name] = record;
        if (name.compare(0, 6, "INDEX_") == 0)
            acceptedSerial = serial;
    }
    void RootReplaced(const std::string& name, const std::string& rootText) override { roots[name] = rootText; }
    /// Keeps the accepted records (and a replaced root) in the settings, as the window does.
    void KeepAccepted()
    {
        for (const auto& record : accepted)
            RaiseSerial(m_state.m_settings, record.first, record.second);
        for (const auto& root : roots)
            m_state.m_settings.SetValue(root.first, root.second);
    }
    std::map<std::string, std::string> roots;
    void ThumbnailDownloaded(const std::string& address, const std::string& file) override
    {
        EXPECT_TRUE(ready) << "thumbnails come after the catalogue is ready";
        ApplyThumbnail(m_state.m_catalogue, address, file);
        thumbnails.emplace_back(address, file);
    }

    std::vector<std::string> statusTexts;
    std::pair<int, int> range{-1, -1};
    std::vector<int> positions;
    std::vector<std::wstring> servers;
    int selected = -1;
    int resets = 0;
    int installedCount = -1;
    int refills = 0;
    bool ready = false;
    long long acceptedSerial = -1;
    std::map<std::string, SerialRecord> accepted;
    std::vector<std::pair<std::string, std::string>> thumbnails;

private:
    LauncherState& m_state;
};

class CatalogueTest : public ::testing::Test {
protected:
    CatalogueTest() : sink(state)
    {
        state.m_dataFolder = dir.Narrow();
        state.m_dataFolderW = dir.Path();
        server = std::make_unique<LoopbackServer>(
            [this](const HttpRequest& request) { return StaticFiles(files)(request); });
    }
    /// Serves these files from now on, at the default index and repository paths.
    void Serve(const std::map<std::string, std::string>& served)
    {
        files = served;
        state.m_indexUrl = server->Url("/sw_index.dat");
        state.m_repositoryUrl = server->Url("/sw_repo.dat");
    }
    void ServeNothing()
    {
        state.m_indexUrl = refusing.Url("/sw_index.dat");
        state.m_repositoryUrl = refusing.Url("/sw_repo.dat");
    }
    std::string Fetch(const std::string& name = "sw_index") { return FetchCatalogueFile(name, state, sink); }
    /// Asks for the maker's signatures from now on.
    void RequireMakerKey()
    {
        state.m_signaturesRequired = true;
        ASSERT_TRUE(ParsePublicKey(kMakerKey.spkiBase64, state.m_makerKey));
    }
    /// The files with a signature beside each, made with key.
    static std::map<std::string, std::string> Signed(std::map<std::string, std::string> served,
                                                     const TestKey& key = kMakerKey)
    {
        std::map<std::string, std::string> withSignatures = served;
        for (const auto& file : served)
            withSignatures[file.first + ".sig"] = SignWith(key, file.second);
        return withSignatures;
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const SoftwareRecord& record : state.m_catalogue)
            names.push_back(record.name);
        return names;
    }

    TempDir dir;
    LauncherState state;
    RecordingSink sink;
    std::map<std::string, std::string> files;
    std::unique_ptr<LoopbackServer> server;
    RefusingPort refusing;
};

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

namespace {
const std::string kSignedIndex = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\n[GOOD]\r\nSW_TYPE=0\r\n";
const std::string kSignedRepository = "[PATHS]\r\nROLE=REPOSITORY\r\nSERIAL=3\r\n[MAIN]\r\nURL=http://main/sw_index.dat\r\n";
const char kRefusedShown[] =
    "Impossibile verificare l'elenco dei software: \xC3\xA8 mostrato l'ultimo elenco verificato.";
const char kRefusedNone[] = "Impossibile verificare l'elenco dei software: nessun elenco verificato da mostrare.";
} // namespace

TEST_F(CatalogueTest, SignedCatalogueIsUsedAndKeptWithItsSignatures)
{
    // Without a key no signature is asked for.
    Serve({{"/sw_index.dat", kSignedIndex}});
    LoadCatalogue(state, sink);
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    for (const HttpRequest& request : server->Requests())
        EXPECT_EQ(std::string::npos, request.target.find(".sig")) << request.target;
    EXPECT_EQ(-1, sink.acceptedSerial);

    RequireMakerKey();
    Serve(Signed({{"/sw_index.dat", kSignedIndex}, {"/sw_repo.dat", kSignedRepository}}));
    RecordingSink signedRun(state);
    LoadCatalogue(state, signedRun);
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    EXPECT_EQ(std::vector<std::wstring>{L"MAIN"}, signedRun.servers);
    EXPECT_EQ(files["/sw_index.dat.sig"], ReadBytes(dir / L"sw_index.dat.sig"));
    EXPECT_EQ(files["/sw_repo.dat.sig"], ReadBytes(dir / L"sw_repo.dat.sig"));
    EXPECT_EQ(5, signedRun.acceptedSerial);
    EXPECT_EQ("", signedRun.statusTexts.back());
    EXPECT_EQ((std::vector<std::string>{"Download index file...", "Download repository file..."}),
              signedRun.statusTexts.size() >= 2 ? std::vector<std::string>(signedRun.statusTexts.begin(),
                                                                            signedRun.statusTexts.begin() + 2)
                                                : signedRun.statusTexts);

    // The next run keeps the verified pair as the backup pair.
    RecordingSink again(state);
    LoadCatalogue(state, again);
    EXPECT_EQ(kSignedIndex, ReadBytes(dir / L"sw_index.dat.bak"));
    EXPECT_EQ(files["/sw_index.dat.sig"], ReadBytes(dir / L"sw_index.dat.bak.sig"));
}

TEST_F(CatalogueTest, RefusedIndexesLeaveTheLastVerifiedOneListed)
{
    RequireMakerKey();
    Serve(Signed({{"/sw_index.dat", kSignedIndex}}));
    LoadCatalogue(state, sink);
    ASSERT_EQ(5, sink.acceptedSerial);
    sink.KeepAccepted();

    const std::string evil = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=9\r\n[EVIL]\r\nSW_TYPE=0\r\n";
    std::map<std::string, std::string> changedAfterSigning = Signed({{"/sw_index.dat", kSignedIndex}});
    changedAfterSigning["/sw_index.dat"] = evil;
    const std::map<std::string, std::map<std::string, std::string>> refused = {
        {"changed after signing", changedAfterSigning},
        {"unsigned", {{"/sw_index.dat", evil}}},
        {"another key", Signed({{"/sw_index.dat", evil}}, kOtherKey)},
        {"older serial", Signed({{"/sw_index.dat", "[PATHS]\r\nROLE=INDEX\r\nSERIAL=4\r\n[EVIL]\r\nSW_TYPE=0\r\n"}})},
        {"no serial", Signed({{"/sw_index.dat", "[PATHS]\r\nROLE=INDEX\r\n[EVIL]\r\nSW_TYPE=0\r\n"}})},
        {"same serial, other bytes",
         Signed({{"/sw_index.dat", "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\n[EVIL]\r\nSW_TYPE=0\r\n"}})},
        {"no role", Signed({{"/sw_index.dat", "[PATHS]\r\nSERIAL=9\r\n[EVIL]\r\nSW_TYPE=0\r\n"}})},
        {"the repository's role",
         Signed({{"/sw_index.dat", "[PATHS]\r\nROLE=REPOSITORY\r\nSERIAL=9\r\n[EVIL]\r\nSW_TYPE=0\r\n"}})},
    };
    for (const auto& served : refused) {
        Serve(served.second);
        RecordingSink run(state);
        LoadCatalogue(state, run);
        EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names()) << served.first;
        EXPECT_EQ(kSignedIndex, ReadBytes(dir / L"sw_index.dat")) << served.first;
        EXPECT_EQ(kRefusedShown, run.statusTexts.back()) << served.first;
        EXPECT_EQ("Download index file...[2 chance]", run.statusTexts[3]) << served.first << ": same attempts";
    }

    // A backup whose signature no longer holds is refused too: nothing is left to list.
    WriteBytes(dir / L"sw_index.dat", "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\n[EVIL]\r\nSW_TYPE=0\r\n");
    Serve({{"/sw_index.dat", evil}});
    RecordingSink none(state);
    LoadCatalogue(state, none);
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(kRefusedNone, none.statusTexts.back());
    EXPECT_FALSE(FileExists(dir / L"sw_index.dat"));
}

// The repository has its own SERIAL and role: an old one brings no retired
// server back, and the index served in its place empties nothing.
TEST_F(CatalogueTest, RepositoryCannotBeReplayedOrSwappedWithTheIndex)
{
    RequireMakerKey();
    const std::string newer = "[PATHS]\r\nROLE=REPOSITORY\r\nSERIAL=4\r\n[NEW]\r\nURL=http://new/sw_index.dat\r\n";
    Serve(Signed({{"/sw_index.dat", kSignedIndex}, {"/sw_repo.dat", newer}}));
    LoadCatalogue(state, sink);
    ASSERT_EQ(std::vector<std::wstring>{L"NEW"}, sink.servers);
    sink.KeepAccepted();

    const std::map<std::string, std::string> refused = {
        {"older repository", kSignedRepository},
        {"same serial, other bytes",
         "[PATHS]\r\nROLE=REPOSITORY\r\nSERIAL=4\r\n[OLD]\r\nURL=http://old/sw_index.dat\r\n"},
        {"the index as the repository", kSignedIndex},
        {"no role", "[PATHS]\r\nSERIAL=9\r\n[OLD]\r\nURL=http://old/sw_index.dat\r\n"},
    };
    for (const auto& served : refused) {
        Serve(Signed({{"/sw_index.dat", kSignedIndex}, {"/sw_repo.dat", served.second}}));
        RecordingSink run(state);
        LoadCatalogue(state, run);
        EXPECT_EQ(std::vector<std::wstring>{L"NEW"}, run.servers) << served.first;
        EXPECT_EQ("Impossibile verificare l'elenco dei server: \xC3\xA8 mostrato l'ultimo elenco verificato.",
                  run.statusTexts.back())
            << served.first;
    }
    // The same repository again is fine.
    Serve(Signed({{"/sw_index.dat", kSignedIndex}, {"/sw_repo.dat", newer}}));
    RecordingSink again(state);
    LoadCatalogue(state, again);
    EXPECT_EQ("", again.statusTexts.back());
}

// A leaked key that signed the highest SERIAL blocks only itself: the new key
// in server.dat starts afresh.
TEST_F(CatalogueTest, HighestSerialIsKeptPerKey)
{
    const std::string leaked = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=999999999999999999\r\n[EVIL]\r\nSW_TYPE=0\r\n";
    RequireMakerKey();
    Serve(Signed({{"/sw_index.dat", leaked}}));
    LoadCatalogue(state, sink);
    ASSERT_EQ(std::vector<std::string>{"EVIL"}, Names());
    sink.KeepAccepted();

    // The maker moves to a new key.
    ASSERT_TRUE(ParsePublicKey(kOtherKey.spkiBase64, state.m_makerKey));
    Serve(Signed({{"/sw_index.dat", kSignedIndex}}, kOtherKey));
    RecordingSink moved(state);
    LoadCatalogue(state, moved);
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    EXPECT_EQ(5, moved.acceptedSerial);
}

// With a key, a list that could not be refreshed or has expired is still
// shown, and the status line says so.
TEST_F(CatalogueTest, StaleOrExpiredSignedListsAreShownWithAWord)
{
    const std::string expired =
        "[PATHS]\r\nROLE=INDEX\r\nSERIAL=6\r\nEXPIRES=2020-03-01T10:30:00Z\r\n[GOOD]\r\nSW_TYPE=0\r\n";
    const std::string current =
        "[PATHS]\r\nROLE=INDEX\r\nSERIAL=7\r\nEXPIRES=2999-01-01T00:00:00Z\r\n[GOOD]\r\nSW_TYPE=0\r\n";
    // Without a key nothing of this applies.
    Serve({{"/sw_index.dat", expired}});
    LoadCatalogue(state, sink);
    EXPECT_EQ("", sink.statusTexts.back());

    RequireMakerKey();
    Serve(Signed({{"/sw_index.dat", expired}, {"/sw_repo.dat", kSignedRepository}}));
    RecordingSink expiredRun(state);
    LoadCatalogue(state, expiredRun);
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    EXPECT_EQ("L'elenco dei software \xC3\xA8 scaduto il 2020-03-01 10:30 UTC: nessun software pu\xC3\xB2 essere "
              "installato o aggiornato.",
              expiredRun.statusTexts.back());

    Serve(Signed({{"/sw_index.dat", current}, {"/sw_repo.dat", kSignedRepository}}));
    RecordingSink currentRun(state);
    LoadCatalogue(state, currentRun);
    EXPECT_EQ("", currentRun.statusTexts.back());

    // Every request fails: the last list, and a word.
    ServeNothing();
    RecordingSink frozen(state);
    LoadCatalogue(state, frozen);
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    EXPECT_EQ("Impossibile aggiornare l'elenco dei software: \xC3\xA8 mostrato l'ultimo elenco ricevuto.",
              frozen.statusTexts.back());

    FetchOutcome fresh, old;
    fresh.usable = fresh.fresh = true;
    old.usable = true;
    fresh.expires = "2026-01-01T00:00:00Z";
    EXPECT_EQ("", StaleCatalogueText(fresh, fresh, "2025-12-31T23:59:59Z"));
    EXPECT_EQ("Impossibile aggiornare l'elenco dei server: \xC3\xA8 mostrato l'ultimo elenco ricevuto.",
              StaleCatalogueText(fresh, old, "2025-12-31T23:59:59Z"));
    EXPECT_EQ("L'elenco dei server \xC3\xA8 scaduto il 2026-01-01 00:00 UTC: potrebbe non offrire gli ultimi "
              "aggiornamenti.",
              StaleCatalogueText(FetchOutcome(), fresh, "2026-01-01T00:00:00Z"));
}

// Thumbnails of a signed index are shown only as it describes them.
TEST_F(CatalogueTest, SignedThumbnailsMustMatchTheirHashes)
{
    const std::string picture = "\x89PNG pretend picture";
    const std::string index = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\nBASE=" + server->Url("/") +
                              "\r\n[A]\r\nSW_TYPE=0\r\nTHUMB=a.png\r\nTHUMB_SHA256=" + HexOf(Sha256Of(picture)) +
                              "\r\nTHUMB_SIZE=" + std::to_string(picture.size()) +
                              "\r\n[B]\r\nSW_TYPE=0\r\nTHUMB=b.png\r\nTHUMB_SHA256=" + HexOf(Sha256Of(picture)) +
                              "\r\n[C]\r\nSW_TYPE=0\r\nTHUMB=c.png\r\n"
                              "[D]\r\nSW_TYPE=0\r\nTHUMB=d.png\r\nTHUMB_SIZE=big\r\n";
    const std::map<std::string, std::string> pictures = {
        {"/a.png", picture}, {"/b.png", "\x89PNG the attacker's picture"}, {"/c.png", picture}, {"/d.png", picture}};
    std::map<std::string, std::string> served = {{"/sw_index.dat", index}};
    // Without a key, a malformed check still matches nothing; a missing one asks for nothing.
    served.insert(pictures.begin(), pictures.end());
    Serve(served);
    LoadCatalogue(state, sink);
    std::vector<std::string> shown;
    for (const auto& thumbnail : sink.thumbnails)
        shown.push_back(thumbnail.first.substr(thumbnail.first.size() - 5));
    EXPECT_EQ((std::vector<std::string>{"a.png", "c.png"}), shown);

    RequireMakerKey();
    served = Signed({{"/sw_index.dat", index}, {"/sw_repo.dat", kSignedRepository}});
    served.insert(pictures.begin(), pictures.end());
    Serve(served);
    RecordingSink signedRun(state);
    LoadCatalogue(state, signedRun);
    ASSERT_EQ(1u, signedRun.thumbnails.size()) << "C has no SHA256, B's bytes differ, D's SIZE is no size";
    EXPECT_EQ(server->Url("/a.png"), signedRun.thumbnails[0].first);
    EXPECT_EQ(picture, ReadBytes(WideFromUtf8(signedRun.thumbnails[0].second)));
    size_t askedForC = 0;
    for (const HttpRequest& request : server->Requests())
        askedForC += request.target == "/c.png";
    EXPECT_EQ(1u, askedForC) << "only the unsigned run fetched a thumbnail without SHA256";
}

TEST_F(CatalogueTest, RedirectIsFollowedOnlyFromAVerifiedFile)
{
    RequireMakerKey();
    LoopbackServer target(StaticFiles(Signed({{"/real/sw_index.dat", kSignedIndex}})));
    const std::string redirect = "[REDIRECT]\r\nURL=" + target.Url("/real/sw_index.dat") + "\r\n";
    Serve({{"/sw_index.dat", redirect}});
    const std::string original = state.m_indexUrl;
    Fetch();
    EXPECT_EQ(original, state.m_indexUrl) << "an unsigned REDIRECT is not followed";
    EXPECT_TRUE(target.Requests().empty());
    EXPECT_FALSE(FileExists(dir / L"sw_index.dat"));

    Serve(Signed({{"/sw_index.dat", "[PATHS]\r\nROLE=REDIRECT\r\nSERIAL=1\r\nEXPIRES=2999-01-01T00:00:00Z\r\n" + redirect}}));
    FetchOutcome outcome;
    FetchCatalogueFile("sw_index", state, sink, &outcome);
    EXPECT_EQ(target.Url("/real/sw_index.dat"), state.m_indexUrl);
    EXPECT_EQ(kSignedIndex, ReadBytes(dir / L"sw_index.dat"));
    EXPECT_TRUE(outcome.usable && outcome.fresh && !outcome.refused);
    EXPECT_EQ(5, outcome.serial);
}

// A REDIRECT says what it is, and for how long: without ROLE=REDIRECT, a
// SERIAL and a current EXPIRES it is not followed, and an older one than the
// last taken is refused. Redirects and failures share one count of attempts.
TEST_F(CatalogueTest, SignedRedirectNamesItsRoleSerialAndExpiry)
{
    RequireMakerKey();
    LoopbackServer target(StaticFiles(Signed({{"/real/sw_index.dat", kSignedIndex}})));
    const std::string address = "[REDIRECT]\r\nURL=" + target.Url("/real/sw_index.dat") + "\r\n";
    const std::string current = "[PATHS]\r\nROLE=REDIRECT\r\nSERIAL=3\r\nEXPIRES=2999-01-01T00:00:00Z\r\n" + address;
    const std::map<std::string, std::string> refused = {
        {"no role", address},
        {"the index's role", "[PATHS]\r\nROLE=INDEX\r\nSERIAL=3\r\nEXPIRES=2999-01-01T00:00:00Z\r\n" + address},
        {"no SERIAL", "[PATHS]\r\nROLE=REDIRECT\r\nEXPIRES=2999-01-01T00:00:00Z\r\n" + address},
        {"no EXPIRES", "[PATHS]\r\nROLE=REDIRECT\r\nSERIAL=3\r\n" + address},
        {"expired", "[PATHS]\r\nROLE=REDIRECT\r\nSERIAL=3\r\nEXPIRES=2020-01-01T00:00:00Z\r\n" + address},
    };
    const std::string original = state.m_indexUrl;
    for (const auto& served : refused) {
        Serve(Signed({{"/sw_index.dat", served.second}}));
        FetchOutcome outcome;
        FetchCatalogueFile("sw_index", state, sink, &outcome);
        EXPECT_TRUE(outcome.refused) << served.first;
        EXPECT_FALSE(outcome.usable) << served.first;
        EXPECT_TRUE(target.Requests().empty()) << served.first;
    }

    Serve(Signed({{"/sw_index.dat", current}}));
    LoadCatalogue(state, sink);
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    const std::string recordName = RedirectSerialSettingName(true, KeyFingerprint(state.m_makerKey));
    ASSERT_EQ(1u, sink.accepted.count(recordName));
    EXPECT_EQ(3, sink.accepted[recordName].serial);
    sink.KeepAccepted();

    // An older redirect, replayed, is refused; the one taken still passes.
    const std::string older = "[PATHS]\r\nROLE=REDIRECT\r\nSERIAL=2\r\nEXPIRES=2999-01-01T00:00:00Z\r\n[REDIRECT]\r\n"
                              "URL=http://127.0.0.1:1/old/sw_index.dat\r\n";
    Serve(Signed({{"/sw_index.dat", older}}));
    FetchOutcome replayed;
    FetchCatalogueFile("sw_index", state, sink, &replayed);
    EXPECT_TRUE(replayed.refused);
    Serve(Signed({{"/sw_index.dat", current}}));
    FetchOutcome again;
    FetchCatalogueFile("sw_index", state, sink, &again);
    EXPECT_TRUE(again.usable && again.fresh);

    // A server answering a redirect to itself and a failure by turns gets
    // the file's three attempts, not three after every hop.
    std::atomic<int> asked{0};
    LoopbackServer looping([&](const HttpRequest& request) {
        HttpResponse response;
        const bool signature = request.target.size() > 4 && request.target.substr(request.target.size() - 4) == ".sig";
        const std::string loop = "[PATHS]\r\nROLE=REDIRECT\r\nSERIAL=4\r\nEXPIRES=2999-01-01T00:00:00Z\r\n"
                                 "[REDIRECT]\r\nURL=" + looping.Url("/sw_index.dat") + "\r\n";
        if (signature) {
            response.body = SignWith(kMakerKey, loop);
        } else if (asked++ % 2 == 0) {
            response.body = loop;
        } else {
            response.status = 500;
            response.body = "<html>busy</html>";
        }
        return response;
    });
    state.m_indexUrl = looping.Url("/sw_index.dat");
    FetchOutcome looped;
    FetchCatalogueFile("sw_index", state, sink, &looped);
    EXPECT_LE(asked.load(), 3) << "index requests";
    state.m_indexUrl = original;
}

// The last verified list shows, with its pictures, before any request; the
// fresh one replaces it once taken, and none of the fetches together may
// take longer than the start's one limit.
TEST_F(CatalogueTest, LastVerifiedListShowsFirstAndTheFetchHasOneLimit)
{
    RequireMakerKey();
    const std::string picture = "\x89PNG stored picture";
    const std::string withPicture = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=5\r\nBASE=" + server->Url("/") +
                                    "\r\n[GOOD]\r\nSW_TYPE=0\r\nTHUMB=good.png\r\nTHUMB_SHA256=" +
                                    HexOf(Sha256Of(picture)) + "\r\n";
    std::map<std::string, std::string> served = Signed({{"/sw_index.dat", withPicture}, {"/sw_repo.dat", kSignedRepository}});
    served["/good.png"] = picture;
    Serve(served);
    LoadCatalogue(state, sink);
    ASSERT_EQ(std::vector<std::string>{"GOOD"}, Names());
    sink.KeepAccepted();

    // What the window holds when the list first shows.
    class FirstReadySink : public RecordingSink {
    public:
        FirstReadySink(LauncherState& state) : RecordingSink(state), m_watched(state) {}
        void CatalogueReady() override
        {
            if (!ready) {
                for (const SoftwareRecord& record : m_watched.m_catalogue)
                    firstShown.push_back(record.name + (record.thumbnailFile.empty() ? "" : "+picture"));
                requestsAtFirst = requests ? requests() : 0;
            }
            RecordingSink::CatalogueReady();
        }
        std::vector<std::string> firstShown;
        std::function<size_t()> requests;
        size_t requestsAtFirst = 0;

    private:
        LauncherState& m_watched;
    };
    const std::string fresh = "[PATHS]\r\nROLE=INDEX\r\nSERIAL=6\r\nBASE=" + server->Url("/") +
                              "\r\n[GOOD]\r\nSW_TYPE=0\r\nTHUMB=good.png\r\nTHUMB_SHA256=" +
                              HexOf(Sha256Of(picture)) + "\r\n[NEW]\r\nSW_TYPE=0\r\n";
    served = Signed({{"/sw_index.dat", fresh}, {"/sw_repo.dat", kSignedRepository}});
    served["/good.png"] = picture;
    Serve(served);
    const size_t before = server->Requests().size();
    FirstReadySink watched(state);
    watched.requests = [&] { return server->Requests().size() - before; };
    LoadCatalogue(state, watched);
    EXPECT_EQ(std::vector<std::string>{"GOOD+picture"}, watched.firstShown);
    EXPECT_EQ(0u, watched.requestsAtFirst);
    EXPECT_EQ((std::vector<std::string>{"GOOD", "NEW"}), Names());
    const std::vector<HttpRequest> requests = server->Requests();
    for (size_t i = before; i < requests.size(); ++i)
        EXPECT_NE("/good.png", requests[i].target) << "the picture on disk matches its digest: not asked for again";

    // A server trickling just above the stall rule: the list stays, and
    // after the one limit the line says it could not be updated.
    LoopbackServer trickling([](const HttpRequest&) {
        HttpResponse response;
        response.generatedSize = 400000;
        response.pieceSize = 1100;
        response.pieceDelayMs = 300;
        return response;
    });
    state.m_indexUrl = trickling.Url("/sw_index.dat");
    state.m_repositoryUrl = trickling.Url("/sw_repo.dat");
    state.m_catalogueFetchLimitMs = 3000;
    FirstReadySink slow(state);
    const ULONGLONG start = GetTickCount64();
    LoadCatalogue(state, slow);
    EXPECT_LT(GetTickCount64() - start, 30000u) << "one limit for both files and every attempt, not one each";
    EXPECT_EQ((std::vector<std::string>{"GOOD+picture", "NEW"}), slow.firstShown);
    EXPECT_EQ((std::vector<std::string>{"GOOD", "NEW"}), Names());
    EXPECT_EQ("Impossibile aggiornare l'elenco dei software: \xC3\xA8 mostrato l'ultimo elenco ricevuto.",
              slow.statusTexts.back());
}

// Two levels of keys, the whole road: the root in server.dat signs
// sw_keys.dat, whose online keys sign the catalogue; a leaked online key is
// revoked by a new keys file, and the root itself is replaced through a keys
// file signed by both, after which the old root alone signs nothing.
TEST_F(CatalogueTest, RootSignsOnlineKeysThatCanBeRevokedAndTheRootReplaced)
{
    SigningKey root, nextRoot, leaked, online;
    ASSERT_TRUE(GenerateKey(root) && GenerateKey(nextRoot) && GenerateKey(leaked) && GenerateKey(online));
    ReadMakerKey(ServerFileText("[SIGNATURE]\r\nROOT=" + PublicKeyText(root) + "\r\n"), state.m_signaturesRequired,
                 state.m_makerKey, nullptr, &state.m_trust);
    ASSERT_TRUE(state.m_signaturesRequired && !state.m_trust.root.Empty());
    const auto keysFile = [](int serial, const SigningKey& onlineKey, const SigningKey* next) {
        return "[PATHS]\r\nROLE=KEYS\r\nSERIAL=" + std::to_string(serial) +
               "\r\nEXPIRES=2999-01-01T00:00:00Z\r\n[KEYS]\r\nONLINE=" + PublicKeyText(onlineKey) + "\r\n" +
               (next ? "NEXT_ROOT=" + PublicKeyText(*next) + "\r\n" : std::string());
    };
    const auto index = [](int serial, const char* name) {
        return "[PATHS]\r\nROLE=INDEX\r\nSERIAL=" + std::to_string(serial) + "\r\n[" + name + "]\r\nSW_TYPE=0\r\n";
    };
    const auto serve = [&](const std::string& keys, const SigningKey* keysSigner, const SigningKey* nextSigner,
                           const std::string& indexBytes, const SigningKey& catalogueSigner) {
        std::map<std::string, std::string> served = {
            {"/sw_keys.dat", keys},
            {"/sw_index.dat", indexBytes},
            {"/sw_index.dat.sig", SignData(catalogueSigner, indexBytes)},
            {"/sw_repo.dat", kSignedRepository},
            {"/sw_repo.dat.sig", SignData(catalogueSigner, kSignedRepository)}};
        if (keysSigner)
            served["/sw_keys.dat.sig"] = SignData(*keysSigner, keys);
        if (nextSigner)
            served["/sw_keys.dat.next.sig"] = SignData(*nextSigner, keys);
        Serve(served);
    };
    const auto load = [this](const char* what) {
        auto run = std::make_unique<RecordingSink>(state);
        LoadCatalogue(state, *run);
        EXPECT_FALSE(run->statusTexts.empty()) << what;
        return run;
    };
    const std::string keysUnverified =
        "Impossibile verificare l'elenco delle chiavi (sw_keys.dat): \xC3\xA8 mostrato l'ultimo elenco verificato.";

    // The first keys file names the online key that signs the catalogue.
    serve(keysFile(1, leaked, nullptr), &root, nullptr, index(5, "GOOD"), leaked);
    auto first = load("first");
    EXPECT_EQ(std::vector<std::string>{"GOOD"}, Names());
    EXPECT_EQ("", first->statusTexts.back());
    first->KeepAccepted();
    // Without the keys file's signature nothing is trusted.
    serve(keysFile(2, leaked, nullptr), nullptr, nullptr, index(6, "GOOD"), leaked);
    auto unsignedKeys = load("keys file without signature");
    EXPECT_EQ(keysUnverified, unsignedKeys->statusTexts.back());

    // The online key leaks: one keys file signed by the root revokes it.
    serve(keysFile(2, online, nullptr), &root, nullptr, index(1, "NEW"), online);
    auto revoked = load("revocation");
    EXPECT_EQ(std::vector<std::string>{"NEW"}, Names());
    EXPECT_EQ("", revoked->statusTexts.back());
    revoked->KeepAccepted();
    // Whatever the leaked key signs now, with whichever SERIAL, is refused;
    // so is the old keys file replayed.
    serve(keysFile(2, online, nullptr), &root, nullptr, index(99, "EVIL"), leaked);
    auto attacked = load("index of the leaked key");
    EXPECT_EQ(std::vector<std::string>{"NEW"}, Names());
    EXPECT_EQ("Impossibile verificare l'elenco dei software: \xC3\xA8 mostrato l'ultimo elenco verificato.",
              attacked->statusTexts.back());
    serve(keysFile(1, leaked, nullptr), &root, nullptr, index(99, "EVIL"), leaked);
    auto replayed = load("old keys file replayed");
    EXPECT_EQ(std::vector<std::string>{"NEW"}, Names());

    // The root is replaced: the keys file naming its successor is signed by both.
    serve(keysFile(3, online, &nextRoot), &root, &nextRoot, index(1, "NEW"), online);
    auto rotated = load("rotation");
    EXPECT_EQ("", rotated->statusTexts.back());
    const std::string rootRecord = RootSettingName(KeyFingerprint(state.m_trust.root));
    ASSERT_EQ(1u, rotated->roots.count(rootRecord));
    EXPECT_EQ(PublicKeyText(nextRoot), rotated->roots[rootRecord]);
    rotated->KeepAccepted();
    // A successor named by a file its signature is missing from is not taken.
    serve(keysFile(4, online, &leaked), &root, nullptr, index(1, "NEW"), online);
    auto halfSigned = load("successor without its signature");
    EXPECT_TRUE(halfSigned->roots.empty());

    // From now on a keys file signed by the old root alone is refused...
    serve(keysFile(4, leaked, nullptr), &root, nullptr, index(100, "EVIL"), leaked);
    auto oldRoot = load("old root after the rotation");
    EXPECT_EQ(std::vector<std::string>{"NEW"}, Names());
    EXPECT_EQ(keysUnverified, oldRoot->statusTexts.back());
    // ... and the new root's is taken, also by a launcher starting afresh
    // from the settings (its root kept there).
    serve(keysFile(4, online, nullptr), &nextRoot, nullptr, index(2, "NEWER"), online);
    state.m_onlineKeys.clear();
    auto newRoot = load("new root");
    EXPECT_EQ(std::vector<std::string>{"NEWER"}, Names());
    EXPECT_EQ("", newRoot->statusTexts.back());
}

TEST_F(CatalogueTest, CancelledWorkerLeavesTheSharedStateAlone)
{
    class CancelledSink : public RecordingSink {
    public:
        using RecordingSink::RecordingSink;
        bool Cancelled() const override { return true; }
    } cancelled(state);
    Serve({{"/sw_index.dat", "[REDIRECT]\r\nURL=http://elsewhere/\r\n"}});
    state.m_catalogue.push_back(SoftwareRecord());
    std::string indexUrl = state.m_indexUrl;
    LoadCatalogue(state, cancelled);
    EXPECT_EQ(indexUrl, state.m_indexUrl) << "no REDIRECT is applied after the window has gone";
    EXPECT_EQ(1u, state.m_catalogue.size());
    EXPECT_EQ(0, cancelled.resets);
    EXPECT_FALSE(cancelled.ready);
}
