// The catalogue worker with the maker's key: signed catalogue files, refused
// and replayed ones, serials per key, stale and expired lists, signed
// thumbnails and redirects, the one fetch limit, the root and its online keys.
#include "catalogue/Catalogue.h"
#include "catalogue/CatalogueFiles.h"
#include "publish/Signing.h"
#include "store/Text.h"
#include "tests/CatalogueFixture.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

using namespace testing_support;

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
