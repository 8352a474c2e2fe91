// The launcher's own update: what its files say about themselves, which
// offer it takes, and the step that swaps its files, cut at every move.
#include "net/Crypto.h"
#include "publish/Packer.h"
#include "format/LauncherImage.h"
#include "selfupdate/LauncherSwap.h"
#include "selfupdate/FirstInstall.h"
#include "selfupdate/SelfUpdate.h"
#include "format/SetupImage.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/QuietCatalogueSink.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>

using namespace testing_support;

namespace {

SoftwareRecord LauncherRecord(ImageWidth width, int build)
{
    SoftwareRecord record;
    record.name = LauncherSection(width);
    record.type = kLauncherSectionType;
    record.availableBuild = build;
    record.downloadAddress = "http://127.0.0.1/site/" + LauncherArchivePath(width, build);
    record.archiveSha256 = std::string(64, 'a');
    record.archiveSize = 1234;
    return record;
}

} // namespace

TEST(LauncherImage, BuiltFilesNameTheirWidthAndBuild)
{
    const ImageFacts program = ReadImageFacts(ReadBytes(BinaryFolder() + L"MorvIndex.exe"));
    EXPECT_EQ(program.width, RunningWidth());
    EXPECT_FALSE(program.library);
    EXPECT_EQ(program.build, MORVINDEX_BUILD);
    const ImageFacts next = ReadImageFacts(ReadBytes(BinaryFolder() + L"next\\MorvIndex.exe"));
    EXPECT_EQ(next.build, MORVINDEX_BUILD + 1);
    const ImageFacts library = ReadImageFacts(ReadBytes(BinaryFolder() + L"trelko_util_r.dll"));
    EXPECT_EQ(library.width, RunningWidth());
    EXPECT_TRUE(library.library);
    EXPECT_EQ(library.build, 0);

    // A header cut short, an offset past the end, another processor: no width.
    std::string bytes = ReadBytes(BinaryFolder() + L"MorvIndex.exe");
    EXPECT_EQ(ReadImageFacts(bytes.substr(0, 70)).width, ImageWidth::Unknown);
    EXPECT_EQ(ReadImageFacts("MZ" + std::string(200, '\xFF')).width, ImageWidth::Unknown);
    const uint32_t header = static_cast<unsigned char>(bytes[0x3C]) | (static_cast<unsigned char>(bytes[0x3D]) << 8);
    std::string arm = bytes;
    arm[header + 4] = '\x64';
    arm[header + 5] = '\xAA';
    EXPECT_EQ(ReadImageFacts(arm).width, ImageWidth::Unknown);
    std::string wide = bytes;
    wide[header + 4] = '\x64';
    wide[header + 5] = '\x86';
    EXPECT_EQ(ReadImageFacts(wide).width, ImageWidth::X86_64);
}

TEST(LauncherImage, FolderWithoutProgramOrWithLibraryOfOtherWidthIsRefused)
{
    TempDir dir;
    EXPECT_NE(InspectLauncherFolder(dir.Path()).problem, "");
    CopyFileW((BinaryFolder() + L"MorvIndex.exe").c_str(), (dir / L"MorvIndex.exe").c_str(), FALSE);
    EXPECT_NE(InspectLauncherFolder(dir.Path()).problem.find("trelko_util_r.dll"), std::string::npos);
    // The program where the library should be: no library.
    CopyFileW((BinaryFolder() + L"MorvIndex.exe").c_str(), (dir / L"trelko_util_r.dll").c_str(), FALSE);
    EXPECT_NE(InspectLauncherFolder(dir.Path()).problem, "");
    std::string library = ReadBytes(BinaryFolder() + L"trelko_util_r.dll");
    const uint32_t header = static_cast<unsigned char>(library[0x3C]) | (static_cast<unsigned char>(library[0x3D]) << 8);
    const bool wide = RunningWidth() == ImageWidth::X86_64;
    library[header + 4] = wide ? '\x4C' : '\x64';
    library[header + 5] = wide ? '\x01' : '\x86';
    WriteBytes(dir / L"trelko_util_r.dll", library);
    EXPECT_NE(InspectLauncherFolder(dir.Path()).problem.find("library beside"), std::string::npos);
    CopyFileW((BinaryFolder() + L"trelko_util_r.dll").c_str(), (dir / L"trelko_util_r.dll").c_str(), FALSE);
    const LauncherBuild found = InspectLauncherFolder(dir.Path());
    EXPECT_EQ(found.problem, "");
    EXPECT_EQ(found.build, MORVINDEX_BUILD);
}

TEST(LauncherOffer, OnlyASignedNewerBuildOfTheOwnWidthIsTaken)
{
    const ImageWidth own = ImageWidth::I686;
    LauncherOffer offer;
    std::string why;
    std::vector<SoftwareRecord> catalogue = {LauncherRecord(own, 8)};
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {}, false, offer, why), OfferDecision::Nothing);
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {}, true, offer, why), OfferDecision::Fetch);
    EXPECT_EQ(offer.build, 8);
    EXPECT_EQ(offer.size, 1234);
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 8, {}, true, offer, why), OfferDecision::Nothing);
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {6, 8}, true, offer, why), OfferDecision::Nothing);
    EXPECT_EQ(DecideLauncherOffer(catalogue, ImageWidth::X86_64, 7, {}, true, offer, why), OfferDecision::Nothing);

    why.clear();
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 9, {}, true, offer, why), OfferDecision::Refused);
    EXPECT_NE(why.find("precedente"), std::string::npos);
    catalogue = {LauncherRecord(own, 0)};
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {}, true, offer, why), OfferDecision::Refused);
    catalogue = {LauncherRecord(own, 8)};
    catalogue[0].archiveSha256.clear();
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {}, true, offer, why), OfferDecision::Refused);
    catalogue = {LauncherRecord(own, 8)};
    catalogue[0].archiveCheckMalformed = true;
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {}, true, offer, why), OfferDecision::Refused);
    // A program that happens to bear the section's name is no launcher offer.
    catalogue = {LauncherRecord(own, 8)};
    catalogue[0].type = 1;
    EXPECT_EQ(DecideLauncherOffer(catalogue, own, 7, {}, true, offer, why), OfferDecision::Nothing);

    EXPECT_EQ(AddToBuildList(AddToBuildList("", 9), 9), "9");
    EXPECT_EQ(AddToBuildList("9,x,,12", 13), "9,12,13");
}

TEST(LauncherSwapJournal, ReadsBackWhatItWroteAndNothingElse)
{
    SwapJournal journal;
    journal.state = SwapState::Moved;
    journal.build = 8;
    journal.previous = 7;
    journal.files = LauncherSwapFiles(L"Niccolò Launcher.exe");
    SwapJournal read;
    ASSERT_TRUE(ParseSwapJournal(FormatSwapJournal(journal), read));
    EXPECT_EQ(read.state, SwapState::Moved);
    EXPECT_EQ(read.build, 8);
    EXPECT_EQ(read.previous, 7);
    ASSERT_EQ(read.files.size(), journal.files.size());
    EXPECT_EQ(read.files.back().target, L"Niccolò Launcher.exe");
    const std::string text = FormatSwapJournal(journal);
    EXPECT_FALSE(ParseSwapJournal(text.substr(0, text.size() - 4), read)); // cut short
    std::string escaping = text;
    escaping.replace(escaping.find("\tsw_con.png"), 11, "\t..\\x.png");
    EXPECT_FALSE(ParseSwapJournal(escaping, read));
}

namespace {

// A program folder holding the launcher files of one build ("old"), with the
// next build ("new") unpacked beside them, as the start-up leaves it.
struct SwapFolder {
    TempDir dir;
    std::wstring folder;
    std::vector<SwapFile> files;

    SwapFolder()
    {
        folder = dir / L"Programmi di Niccolò Bàrbaro\\";
        CreateDirectoryW(folder.c_str(), nullptr);
        CreateDirectoryW((folder + kSwapNewFolder).c_str(), nullptr);
        files = LauncherSwapFiles(L"Lanciatore.exe");
        for (const SwapFile& file : files) {
            WriteBytes(folder + file.target, "old " + std::string(file.target.begin(), file.target.end()));
            WriteBytes(folder + kSwapNewFolder + L"\\" + file.source, "new");
        }
        WriteBytes(folder + L"server.dat", "[SERVER]\r\nURL=x\r\n");
    }

    // Every launcher file holds what the one build gave it; nothing of the step is left.
    void ExpectOnly(const char* build) const
    {
        for (const SwapFile& file : files) {
            const std::string expected = std::string(build) == "old"
                                             ? "old " + std::string(file.target.begin(), file.target.end())
                                             : "new";
            EXPECT_EQ(ReadBytes(folder + file.target), expected) << std::string(file.target.begin(), file.target.end());
        }
        EXPECT_EQ(ReadBytes(folder + L"server.dat"), "[SERVER]\r\nURL=x\r\n");
        EXPECT_FALSE(FileExists(folder + kSwapJournalFile));
        EXPECT_FALSE(FileExists(folder + kSwapOldFolder));
    }
};

} // namespace

TEST(LauncherSwapStep, CutAtAnyMoveTheNextStartHasOneWholeBuild)
{
    // Every cut the seam can make, and one more: every file moved but the
    // journal not yet saying so.
    // Between the cut and the next start a cleaner may have removed the new
    // build's folder, or the new program from it (as the previous program
    // still under its name shows, it was never moved in).
    enum Cleaner { None, NewFolder, NewProgram };
    const int moves = 2 * static_cast<int>(LauncherSwapFiles(L"x.exe").size());
    for (int run = 0; run < 3 * (moves + 2); ++run) {
        const int cut = run / 3;
        const Cleaner cleaner = static_cast<Cleaner>(run % 3);
        SCOPED_TRACE("cut after " + std::to_string(cut) + " moves, cleaner " + std::to_string(cleaner));
        SwapFolder program;
        SwapJournal step;
        step.build = 8;
        step.previous = 7;
        step.files = program.files;
        LauncherSwap swap(program.folder);
        swap.m_endAfterMoves = std::min(cut, moves);
        EXPECT_EQ(swap.Apply(step), cut >= moves);
        if (cut > moves)
            WriteBytes(program.folder + kSwapJournalFile, FormatSwapJournal(step));

        // The next start is made by whichever program bears the name now
        // (the previous one while the program itself was not moved in: the
        // one cut between its two moves leaves no program under the name,
        // and a copy of another build kept in the folder finds the step).
        const bool newProgram = ReadBytes(program.folder + L"Lanciatore.exe") == "new";
        const bool noProgram = !FileExists(program.folder + L"Lanciatore.exe");
        if (cleaner != None && newProgram)
            continue;
        const std::wstring fresh = program.folder + kSwapNewFolder + L"\\";
        if (cleaner == NewProgram)
            DeleteFileW((fresh + kLauncherProgramFile).c_str());
        if (cleaner == NewFolder) {
            for (const SwapFile& file : program.files)
                DeleteFileW((fresh + file.source).c_str());
            RemoveDirectoryW(fresh.c_str());
        }
        LauncherState state;
        state.m_programFolderW = program.folder;
        state.m_dataFolderW = program.dir / L"dati\\";
        state.m_launcherBuild = newProgram ? 8 : noProgram ? 6 : 7;
        LauncherStart start = SettleLauncherFiles(state, L"Lanciatore.exe", 1000);
        EXPECT_FALSE(start.handedOver);
        EXPECT_EQ(newProgram, start.onTrial) << "a new build whose files are all in place proves itself";
        if (newProgram) {
            ProveLauncher(state);
            start = SettleLauncherFiles(state, L"Lanciatore.exe", 1000);
            EXPECT_FALSE(start.onTrial);
            program.ExpectOnly("new");
        } else {
            program.ExpectOnly("old");
        }
    }
}

TEST(LauncherSwapStep, ANewBuildThatFailsIsUndoneAfterItsFilesWereInPlace)
{
    SwapFolder program;
    SwapJournal step;
    step.build = 8;
    step.previous = 7;
    step.files = program.files;
    LauncherSwap swap(program.folder);
    // A new file that cannot be written through to the disk (a reader holds
    // it) stops the step before anything moves: renamed into place with its
    // bytes still in the cache, it could start as garbage after a power cut.
    HANDLE reader = CreateFileW((program.folder + kSwapNewFolder + L"\\" + kLauncherLibraryFile).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(swap.Apply(step));
    CloseHandle(reader);
    EXPECT_EQ(ReadBytes(program.folder + L"Lanciatore.exe"), "old Lanciatore.exe");
    EXPECT_FALSE(FileExists(program.folder + kSwapJournalFile));

    ASSERT_TRUE(swap.Apply(step));
    EXPECT_EQ(ReadBytes(program.folder + L"Lanciatore.exe"), "new");
    SwapJournal journal;
    ASSERT_TRUE(swap.Load(journal));
    EXPECT_TRUE(swap.Undo(journal));
    program.ExpectOnly("old");
    EXPECT_FALSE(FileExists(program.folder + kSwapNewFolder));

    // Cut while the new build proved itself, and then installed again by
    // hand from a setup program of a third build: the step is over, and what
    // was installed stays.
    SwapFolder reinstalled;
    step.files = reinstalled.files;
    LauncherSwap second(reinstalled.folder);
    ASSERT_TRUE(second.Apply(step));
    for (const SwapFile& file : reinstalled.files)
        WriteBytes(reinstalled.folder + file.target, "new");
    LauncherState state;
    state.m_programFolderW = reinstalled.folder;
    state.m_dataFolderW = reinstalled.dir / L"dati\\";
    state.m_launcherBuild = 9;
    const LauncherStart start = SettleLauncherFiles(state, L"Lanciatore.exe", 1000);
    EXPECT_FALSE(start.onTrial);
    reinstalled.ExpectOnly("new");
    EXPECT_FALSE(FileExists(reinstalled.folder + kSwapNewFolder));
}

namespace {

// A launcher of this build in a folder of its own, with its data folder and
// the maker's key, and a fetched build waiting for its next start.
struct WaitingBuild {
    TempDir dir;
    LauncherState state;

    WaitingBuild()
    {
        state.m_programFolderW = dir / L"Programmi di Niccolò\\";
        state.m_dataFolderW = dir / L"Dati utente\\";
        CreateDirectoryW(state.m_programFolderW.c_str(), nullptr);
        CreateDirectoryW(state.m_dataFolderW.c_str(), nullptr);
        CreateDirectoryW(LauncherUpdateFolder(state).c_str(), nullptr);
        state.m_launcherBuild = MORVINDEX_BUILD;
        state.m_signaturesRequired = true;
        state.m_makerKey.x = std::string(32, 'x');
        state.m_makerKey.y = std::string(32, 'y');
        for (const wchar_t* name : {L"Lanciatore.exe", L"trelko_util_r.dll", L"server.dat"})
            WriteBytes(state.m_programFolderW + name, "old");
    }

    /// Packs the files as the archive of build, noting it as fetched with the
    /// archive's hash and size (or others).
    void Fetched(int build, const std::vector<std::pair<std::wstring, std::wstring>>& files, bool matching = true)
    {
        std::vector<PackedFile> packed;
        for (const auto& file : files) {
            PackedFile entry;
            entry.name = Utf8FromWide(file.first);
            entry.path = file.second;
            GetSystemTimeAsFileTime(&entry.lastWrite);
            entry.size = ReadBytes(file.second).size();
            packed.push_back(entry);
        }
        const std::wstring archive = LauncherUpdateFolder(state) + L"MorvIndex_" +
                                     WideFromUtf8(WidthName(RunningWidth())) + L"_" + std::to_wstring(build) + L".zip";
        std::string error;
        ASSERT_TRUE(WriteArchive(archive, packed, error)) << error;
        const std::string bytes = ReadBytes(archive);
        const std::string sha256 = matching ? HexOf(Sha256Of(bytes)) : std::string(64, '0');
        WriteBytes(LauncherUpdateFolder(state) + L"pending.dat",
                   "BUILD=" + std::to_string(build) + "\r\nWIDTH=" + WidthName(RunningWidth()) + "\r\nSHA256=" +
                       sha256 + "\r\nSIZE=" + std::to_string(bytes.size()) + "\r\n");
    }

    /// The files of a whole build of the next number, as the test build made it.
    static std::vector<std::pair<std::wstring, std::wstring>> NextBuild(const std::wstring& program)
    {
        std::vector<std::pair<std::wstring, std::wstring>> files = {
            {L"MorvIndex.exe", program}, {L"trelko_util_r.dll", BinaryFolder() + L"trelko_util_r.dll"}};
        for (const wchar_t* picture : kLauncherPictures)
            files.emplace_back(picture, BinaryFolder() + picture);
        return files;
    }

    void ExpectUnchanged()
    {
        for (const wchar_t* name : {L"Lanciatore.exe", L"trelko_util_r.dll", L"server.dat"})
            EXPECT_EQ("old", ReadBytes(state.m_programFolderW + name));
        EXPECT_FALSE(FileExists(state.m_programFolderW + kSwapNewFolder));
        EXPECT_FALSE(FileExists(state.m_programFolderW + kSwapOldFolder));
        EXPECT_FALSE(FileExists(state.m_programFolderW + kSwapJournalFile));
        EXPECT_FALSE(FileExists(LauncherUpdateFolder(state) + L"pending.dat")) << "the waiting build is dropped";
    }
};

} // namespace

// The step's own folders may be links or junctions (made by hand, or left by
// a copy of the program folder): nothing in the folders they lead to is
// touched. Windows removes such a link; Wine cannot, and the step is refused.
TEST(LauncherSwapStep, LinksInPlaceOfItsFoldersAreNeverFollowed)
{
    // A folder of the user's beside the program folder.
    const auto makeOutside = [](const TempDir& dir) {
        const std::wstring outside = dir / L"Documenti";
        CreateDirectoryW(outside.c_str(), nullptr);
        WriteBytes(outside + L"\\lettera.txt", "cara");
        return outside;
    };
    const auto whole = [](const std::wstring& outside) {
        return ReadBytes(outside + L"\\lettera.txt") == "cara" &&
               std::distance(std::filesystem::directory_iterator(outside), std::filesystem::directory_iterator()) == 1;
    };
    {
        // A start without a step removes what no journal refers to, and
        // unpacks a waiting build into a folder of its own or not at all.
        WaitingBuild waiting;
        const std::wstring outside = makeOutside(waiting.dir);
        const std::wstring program = waiting.state.m_programFolderW;
        for (const wchar_t* name : {kSwapNewFolder, kSwapOldFolder})
            ASSERT_TRUE(MakeFolderLink(program + name, outside));
        waiting.Fetched(MORVINDEX_BUILD + 2, WaitingBuild::NextBuild(BinaryFolder() + L"next\\MorvIndex.exe"));
        const LauncherStart start = SettleLauncherFiles(waiting.state, L"Lanciatore.exe", 1000);
        EXPECT_FALSE(start.handedOver);
        EXPECT_TRUE(whole(outside));
        for (const wchar_t* name : {L"Lanciatore.exe", L"trelko_util_r.dll"})
            EXPECT_EQ("old", ReadBytes(program + name));
    }
    {
        // A step sets the previous files aside in a folder of its own, never
        // through a link left where that folder goes.
        SwapFolder program;
        const std::wstring outside = makeOutside(program.dir);
        ASSERT_TRUE(MakeFolderLink(program.folder + kSwapOldFolder, outside));
        SwapJournal step;
        step.build = 8;
        step.previous = 7;
        step.files = program.files;
        LauncherSwap swap(program.folder);
        const bool applied = swap.Apply(step);
        EXPECT_TRUE(whole(outside));
        if (applied) {
            EXPECT_TRUE(swap.MarkProven(step));
            EXPECT_TRUE(swap.CleanUp());
            program.ExpectOnly("new");
            EXPECT_TRUE(whole(outside));
        } else {
            EXPECT_EQ("old Lanciatore.exe", ReadBytes(program.folder + L"Lanciatore.exe"));
        }
    }
}

// A fetched build that does not match what was fetched, is not the build the
// index named, lacks its library, or waits for a launcher without the key:
// nothing is replaced, nothing started, one line says why.
TEST(LauncherStart, AWaitingBuildThatIsNotWholeAndRightChangesNothing)
{
    const std::wstring next = BinaryFolder() + L"next\\MorvIndex.exe";
    const std::wstring current = BinaryFolder() + L"MorvIndex.exe";
    const struct {
        const char* what;
        int build;
        std::vector<std::pair<std::wstring, std::wstring>> files;
        bool matching;
        bool keyed;
        const char* said; // "" for nothing said
    } cases[] = {
        {"altered after the fetch", MORVINDEX_BUILD + 1, WaitingBuild::NextBuild(next), false, true,
         "non corrisponde al catalogo firmato"},
        {"another build inside", MORVINDEX_BUILD + 2, WaitingBuild::NextBuild(next), true, true,
         "contiene la build"},
        {"no library", MORVINDEX_BUILD + 1, {{L"MorvIndex.exe", next}}, true, true, "trelko_util_r.dll"},
        {"the running build again", MORVINDEX_BUILD, WaitingBuild::NextBuild(current), true, true, ""},
        {"no key", MORVINDEX_BUILD + 1, WaitingBuild::NextBuild(next), true, false, ""},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.what);
        WaitingBuild waiting;
        waiting.state.m_signaturesRequired = run.keyed;
        if (!run.keyed)
            waiting.state.m_makerKey = PublicKey();
        waiting.Fetched(run.build, run.files, run.matching);
        const LauncherStart start = SettleLauncherFiles(waiting.state, L"Lanciatore.exe", 1000);
        EXPECT_FALSE(start.handedOver);
        EXPECT_FALSE(start.onTrial);
        if (*run.said)
            EXPECT_NE(std::string::npos, start.notice.find(run.said)) << start.notice;
        else
            EXPECT_EQ("", start.notice);
        waiting.ExpectUnchanged();
    }
}

// A new build that hangs instead of showing its window is stopped once its
// time to prove itself is over: the previous files come back, one line says
// so, and the build is remembered as bad.
TEST(LauncherStart, ANewBuildThatHangsIsStoppedAndThePreviousComesBack)
{
    WaitingBuild waiting;
    const int hanging = MORVINDEX_BUILD + 3;
    waiting.Fetched(hanging, WaitingBuild::NextBuild(BinaryFolder() + L"hanging\\MorvIndex.exe"));
    const DWORD began = GetTickCount();
    const LauncherStart start = SettleLauncherFiles(waiting.state, L"Lanciatore.exe", 3000);
    EXPECT_GE(GetTickCount() - began, 3000u) << "it had its time";
    EXPECT_FALSE(start.handedOver);
    EXPECT_FALSE(start.onTrial);
    EXPECT_NE(std::string::npos, start.notice.find("La build " + std::to_string(hanging))) << start.notice;
    waiting.ExpectUnchanged();
    EXPECT_EQ(std::to_string(hanging),
              waiting.state.m_settings.GetValue(KeyValueStore::kGlobal, kBadLauncherBuildsKey));
}

// The offer is fetched like a program's archive, checked against its SHA256
// and SIZE, and waits for the next start; an archive that differs, a folder
// the user cannot write (the launcher under Program Files) and a launcher
// without the key fetch nothing that stays, each with its line.
TEST(LauncherFetch, OnlyAMatchingArchiveForAWritableKeyedLauncherIsKept)
{
    const std::string archive = "PK\x03\x04 a launcher build, as far as the fetch can tell";
    std::map<std::string, std::string> files;
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    const std::string path = "/" + LauncherArchivePath(RunningWidth(), MORVINDEX_BUILD + 1);
    const auto archiveRequests = [&server, &path] {
        size_t count = 0;
        for (const HttpRequest& request : server.Requests())
            count += request.target == path;
        return count;
    };
    const struct {
        const char* what;
        std::string served;
        bool writable;
        bool keyed;
        size_t requests;
        const char* said;
        bool kept;
    } cases[] = {
        {"matching", archive, true, true, 1, "pronta", true},
        {"altered on the server", archive + "!", true, true, 2, "Impossibile scaricare", false},
        {"folder not writable", archive, false, true, 0, "non \xC3\xA8 scrivibile", false},
        {"no key", archive, true, false, 0, "", false},
    };
    size_t requests = 0;
    for (const auto& run : cases) {
        SCOPED_TRACE(run.what);
        files = {{path, run.served}};
        WaitingBuild launcher;
        if (!run.writable)
            launcher.state.m_programFolderW = launcher.dir / L"a file, not a folder\\";
        if (!run.writable)
            WriteBytes(launcher.dir / L"a file, not a folder", "x");
        launcher.state.m_signaturesRequired = run.keyed;
        SoftwareRecord offer = LauncherRecord(RunningWidth(), MORVINDEX_BUILD + 1);
        offer.downloadAddress = server.Url(path);
        offer.archiveSha256 = HexOf(Sha256Of(archive));
        offer.archiveSize = static_cast<int64_t>(archive.size());
        launcher.state.m_catalogue = {offer};
        QuietCatalogueSink sink;
        const std::string line = FetchLauncherUpdate(launcher.state, launcher.state.m_catalogue, launcher.state.m_catalogueExpires, sink);
        if (*run.said)
            EXPECT_NE(std::string::npos, line.find(run.said)) << line;
        else
            EXPECT_EQ("", line);
        requests += run.requests;
        EXPECT_EQ(requests, archiveRequests());
        EXPECT_EQ(run.kept, FileExists(LauncherUpdateFolder(launcher.state) + L"pending.dat"));
        const std::wstring fetched = LauncherUpdateFolder(launcher.state) + L"MorvIndex_" +
                                     WideFromUtf8(WidthName(RunningWidth())) + L"_" +
                                     std::to_wstring(MORVINDEX_BUILD + 1) + L".zip";
        EXPECT_EQ(run.kept, FileExists(fetched));
    }
}

// The setup program finds the files it carries at its own end, and refuses
// a carried name meant as a path, a file twice, one missing, sizes that run
// past the end and a program cut short.
TEST(SetupImage, CarriesItsFilesAndNothingElse)
{
    EXPECT_TRUE(IsSetupProgramFile(L"MorvIndex-setup.exe"));
    EXPECT_TRUE(IsSetupProgramFile(L"MORVINDEX-SETUP.EXE"));
    EXPECT_FALSE(IsSetupProgramFile(L"MorvIndex.exe"));
    EXPECT_FALSE(IsSetupProgramFile(L"MorvIndex-setup.exe.exe"));
    EXPECT_FALSE(IsSetupProgramFile(L"morvindex_tests_1.exe"));

    const std::string image = std::string("MZ") + std::string(300, '\x90');
    std::vector<SetupFile> files;
    for (const std::wstring& name : SetupFileNames())
        files.push_back({name, "bytes of " + Utf8FromWide(name) + std::string(1, '\0')});
    const std::string setup = AppendSetupFiles(image, files);
    std::string back, problem;
    std::vector<SetupFile> found;
    ASSERT_TRUE(SplitSetupFiles(setup, back, found, problem)) << problem;
    EXPECT_EQ(image, back);
    ASSERT_EQ(files.size(), found.size());
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].name, found[i].name);
        EXPECT_EQ(files[i].bytes, found[i].bytes);
    }

    const auto refused = [&](const std::string& bytes) {
        std::string unused;
        std::vector<SetupFile> none;
        return !SplitSetupFiles(bytes, unused, none, problem);
    };
    EXPECT_TRUE(refused(image)) << "a launcher without setup files";
    EXPECT_TRUE(refused(setup.substr(0, setup.size() - 1)));
    EXPECT_TRUE(refused(setup.substr(0, 100) + setup.substr(101))) << "a byte missing inside";
    std::vector<SetupFile> traps = files;
    traps[0].name = L"..\\..\\Start Menu\\evil.dll";
    EXPECT_TRUE(refused(AppendSetupFiles(image, traps)));
    traps = files;
    traps[1].name = traps[0].name;
    EXPECT_TRUE(refused(AppendSetupFiles(image, traps))) << "one name twice, another missing";
    traps = files;
    traps.pop_back();
    EXPECT_TRUE(refused(AppendSetupFiles(image, traps))) << "no server.dat";
    std::string huge = setup;
    const size_t sizeAt = image.size() + 4 + Utf8FromWide(files[0].name).size();
    huge.replace(sizeAt, 8, std::string(8, '\xFF'));
    EXPECT_TRUE(refused(huge));
    std::string wrongStart = setup;
    wrongStart.replace(setup.size() - 28, 8, std::string(8, '\x7F'));
    EXPECT_TRUE(refused(wrongStart));
}

// Where the first installation puts the launcher, what the list of
// installed applications shows, and which command line asks for removal.
TEST(FirstInstall, PlaceEntryAndRemovalFollowTheUser)
{
    const std::wstring local = L"C:\\Users\\Niccol\u00f2 B\u00e0rbaro\\AppData\\Local";
    const std::wstring roaming = L"C:\\Users\\Niccol\u00f2 B\u00e0rbaro\\AppData\\Roaming";
    const std::wstring programs = roaming + L"\\Microsoft\\Windows\\Start Menu\\Programs";
    const InstallPlace place = InstallPlaceFor(local, programs);
    EXPECT_EQ(local + L"\\Programs\\MorvIndex\\", place.folder);
    EXPECT_EQ(local + L"\\Programs\\MorvIndex\\MorvIndex.exe", place.program);
    EXPECT_EQ(programs + L"\\MorvIndex.lnk", place.shortcut);

    const std::wstring redirected = L"\\\\server\\profili\\Programmi";
    EXPECT_EQ(redirected, ChooseProgramsFolder(roaming, roaming, redirected));
    EXPECT_EQ(redirected, ChooseProgramsFolder(L"c:\\users\\NICCOL\u00f2 b\u00e0rbaro\\appdata\\roaming", roaming,
                                               redirected));
    EXPECT_EQ(L"D:\\prova\\Microsoft\\Windows\\Start Menu\\Programs",
              ChooseProgramsFolder(L"D:\\prova", roaming, redirected));
    EXPECT_EQ(redirected, ChooseProgramsFolder(L"", roaming, redirected));

    std::map<std::wstring, std::wstring> texts;
    std::map<std::wstring, DWORD> numbers;
    for (const EntryValue& value : UninstallEntryValues(place, 12)) {
        if (value.isNumber)
            numbers[value.name] = value.number;
        else
            texts[value.name] = value.text;
    }
    EXPECT_EQ(L"MorvIndex", texts[L"DisplayName"]);
    EXPECT_EQ(L"1.0.0.12", texts[L"DisplayVersion"]);
    EXPECT_FALSE(texts[L"Publisher"].empty());
    EXPECT_EQ(local + L"\\Programs\\MorvIndex", texts[L"InstallLocation"]);
    EXPECT_EQ(L"\"" + place.program + L"\",0", texts[L"DisplayIcon"]);
    EXPECT_EQ(L"\"" + place.program + L"\" /uninstall", texts[L"UninstallString"]);
    EXPECT_EQ(1u, numbers[L"NoModify"]);
    EXPECT_EQ(1u, numbers[L"NoRepair"]);

    EXPECT_TRUE(AsksUninstall(texts[L"UninstallString"], place.program));
    EXPECT_TRUE(AsksUninstall(place.program + L" /UNINSTALL", place.program)) << "unquoted, as Windows passes it";
    EXPECT_FALSE(AsksUninstall(L"\"" + place.program + L"\"", place.program));
    EXPECT_FALSE(AsksUninstall(L"\"" + place.program + L"\" morvindex:SW_CODE=/uninstall", place.program));
    EXPECT_FALSE(AsksUninstall(place.program + L" morvindex:x /uninstall", place.program))
        << "a web request's text is never a command";
}
