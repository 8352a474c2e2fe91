// The real trelko_util_r.dll through its export, and the launcher's binding
// to it as seen from a separate process.
#include "environment/SyncBinding.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <map>
#include <sstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class SyncLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW((BinaryFolder() + L"trelko_util_r.dll").c_str());
        ASSERT_NE(nullptr, module);
        function = reinterpret_cast<AggiornaFilesFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "aggiorna_files")));
        ASSERT_NE(nullptr, function);
    }
    void TearDown() override { FreeLibrary(module); }

    HMODULE module = nullptr;
    AggiornaFilesFn function = nullptr;
};

std::map<std::string, std::string> RunProbe(const std::wstring& probe, const std::wstring& output, bool unsetPath,
                                            const std::wstring& workingFolder = std::wstring())
{
    std::wstring savedPath(32768, L'\0');
    savedPath.resize(GetEnvironmentVariableW(L"PATH", &savedPath[0], 32768));
    if (unsetPath)
        SetEnvironmentVariableW(L"PATH", nullptr);
    std::wstring commandLine = L"\"" + probe + L"\" \"" + output + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &info);
    if (unsetPath)
        SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    std::map<std::string, std::string> values;
    if (!started)
        return values;
    WaitForSingleObject(info.hProcess, 60000);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    std::istringstream lines(ReadBytes(output));
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::wstring UnixPathOf(const std::wstring& path)
{
    using UnixName = char*(__cdecl*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    std::string text = name ? name : "";
    if (name)
        HeapFree(GetProcessHeap(), 0, name);
    return WideFromUtf8(text);
}

// Runs a Unix program under Wine (its handle does not tell when it ends).
bool RunUnix(const std::wstring& program, std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return false;
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return true;
}

// A free drive letter that leads to folder while it lives: a DOS device where
// Windows makes one, under Wine a link in the prefix's dosdevices folder.
class ScratchDrive {
public:
    explicit ScratchDrive(const std::wstring& folder)
    {
        const DWORD used = GetLogicalDrives();
        for (wchar_t letter = L'P'; letter <= L'Y' && !m_letter; ++letter)
            if (!(used & (1u << (letter - L'A'))))
                m_letter = letter;
        if (!m_letter)
            return;
        const std::wstring drive = Drive();
        const std::wstring driveC = UnixPathOf(L"C:\\");
        if (driveC.empty()) {
            m_defined = DefineDosDeviceW(0, drive.c_str(), folder.c_str()) != FALSE;
        } else {
            // C: is ".../dosdevices/c:/" or ".../drive_c/", beside dosdevices.
            std::wstring parent = driveC.substr(0, driveC.find_last_of(L'/', driveC.size() - 2));
            if (parent.size() < 11 || parent.compare(parent.size() - 11, 11, L"/dosdevices") != 0)
                parent += L"/dosdevices";
            m_link = parent + L"/" + static_cast<wchar_t>(towlower(m_letter)) + L":";
            std::wstring target = UnixPathOf(folder);
            while (target.size() > 1 && target.back() == L'/')
                target.pop_back();
            RunUnix(L"Z:\\bin\\ln", L"/bin/ln -sfn \"" + target + L"\" \"" + m_link + L"\"");
        }
        for (int i = 0; i < 100 && !Ready(); ++i)
            Sleep(50);
    }
    ~ScratchDrive()
    {
        if (m_defined)
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, Drive().c_str(), nullptr);
        if (!m_link.empty()) {
            RunUnix(L"Z:\\bin\\rm", L"/bin/rm -f \"" + m_link + L"\"");
            for (int i = 0; i < 100 && GetFileAttributesW((Drive() + L"\\").c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
                Sleep(50);
        }
    }
    ScratchDrive(const ScratchDrive&) = delete;
    ScratchDrive& operator=(const ScratchDrive&) = delete;

    /// "X:", or "" when no drive could be made.
    std::wstring Drive() const { return m_letter ? std::wstring{m_letter, L':'} : std::wstring(); }
    bool Ready() const
    {
        DWORD attributes = m_letter ? GetFileAttributesW((Drive() + L"\\").c_str()) : INVALID_FILE_ATTRIBUTES;
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

private:
    wchar_t m_letter = 0;
    bool m_defined = false;
    std::wstring m_link;
};

// Removes a folder link at the end of a test: under Wine only Unix can, and
// one left dangling would stop the scratch folder's removal.
class LinkRemover {
public:
    explicit LinkRemover(const std::wstring& link) : m_link(link) {}
    ~LinkRemover()
    {
        if (RemoveDirectoryW(m_link.c_str()) || UnixPathOf(L"C:\\").empty())
            return;
        RunUnix(L"Z:\\bin\\rm", L"/bin/rm -f \"" + UnixPathOf(m_link) + L"\"");
        for (int i = 0; i < 100 && GetFileAttributesW(m_link.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(50);
    }
    LinkRemover(const LinkRemover&) = delete;
    LinkRemover& operator=(const LinkRemover&) = delete;

private:
    std::wstring m_link;
};

std::vector<std::wstring> NamesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().wstring());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

TEST_F(SyncLibrary, ExportIsOrdinalOneAndInstallsThenSkipsUpToDateFiles)
{
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1))),
              reinterpret_cast<void*>(function));

    TempDir dir;
    DosStamp stamp = MakeDos(2024, 6, 1, 12, 0, 0);
    ASSERT_TRUE(WriteZip(dir / L"ABC.zip", {{"prog.exe", "program", stamp}, {"res/img.png", "png", stamp}}));
    std::string archive = dir.Narrow() + "ABC.zip";
    std::string staging = dir.Narrow() + "tmp";
    std::string destination = dir.Narrow() + "apps\\ABC\\";
    fs::create_directories(dir / L"apps");
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 1));
    EXPECT_EQ("png", ReadBytes(dir / L"apps\\ABC\\res\\img.png"));

    // Other content at the same time: only a set low byte of compare_content copies it.
    FILETIME installed = WriteTimeOf(dir / L"apps\\ABC\\prog.exe");
    WriteBytes(dir / L"apps\\ABC\\prog.exe", "edited!");
    SetWriteTime(dir / L"apps\\ABC\\prog.exe", installed);
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 0x100));
    EXPECT_EQ("edited!", ReadBytes(dir / L"apps\\ABC\\prog.exe")) << "0x100: the low byte is 0, no content check";
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 0x101));
    EXPECT_EQ("program", ReadBytes(dir / L"apps\\ABC\\prog.exe"));
    FILETIME after = WriteTimeOf(dir / L"apps\\ABC\\prog.exe");
    EXPECT_EQ(0, CompareFileTime(&installed, &after));
}

TEST_F(SyncLibrary, BadArgumentsAndBadArchivesReturnFalse)
{
    TempDir dir;
    EXPECT_FALSE(function(nullptr, "x", "y", 1));
    std::string missing = dir.Narrow() + "missing.zip";
    EXPECT_FALSE(function(missing.c_str(), (dir.Narrow() + "tmp").c_str(), (dir.Narrow() + "dest").c_str(), 1));
    ASSERT_TRUE(WriteZip(dir / L"slip.zip", {{"../../evil.txt", "evil"}}));
    EXPECT_FALSE(function((dir.Narrow() + "slip.zip").c_str(), (dir.Narrow() + "tmp").c_str(),
                          (dir.Narrow() + "dest").c_str(), 1));
    EXPECT_FALSE(FileExists(dir / L"evil.txt"));
}

// The measured fault: given "X:" while the process's current folder on X: is
// a subfolder, the root check passed and then all of X:\ was emptied.
TEST_F(SyncLibrary, DriveRootsDrivesWithoutAFolderAndLinkedFoldersAreRefusedBeforeAnythingIsTouched)
{
    TempDir dir;
    fs::create_directories(dir / L"drive\\work");
    WriteBytes(dir / L"drive\\precious.txt", "keep me");
    WriteBytes(dir / L"drive\\work\\notes.txt", "keep me too");
    fs::create_directories(dir / L"apps");
    ASSERT_TRUE(WriteZip(dir / L"ABC.zip", {{"f.txt", "x"}}));
    const std::string archive = dir.Narrow() + "ABC.zip";
    const std::string staging = dir.Narrow() + "tmp";
    const std::string destination = dir.Narrow() + "apps\\ABC";

    ScratchDrive drive(dir / L"drive");
    ASSERT_TRUE(drive.Ready()) << "no drive letter could be made";
    const std::string letter = AnsiFromWide(drive.Drive());
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW((drive.Drive() + L"\\work").c_str()));
    std::vector<bool> results;
    for (const std::string& folder : {letter, letter + "\\", letter + "work\\..", letter + ".", letter + "work"}) {
        results.push_back(function(archive.c_str(), folder.c_str(), destination.c_str(), 1));
        results.push_back(function(archive.c_str(), staging.c_str(), folder.c_str(), 1));
    }
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(std::vector<bool>(results.size(), false), results);
    EXPECT_EQ("keep me", ReadBytes(dir / L"drive\\precious.txt"));
    EXPECT_EQ("keep me too", ReadBytes(dir / L"drive\\work\\notes.txt"));
    EXPECT_FALSE(FileExists(dir / L"drive\\f.txt"));
    EXPECT_FALSE(FileExists(dir / L"drive\\work\\f.txt"));
    EXPECT_FALSE(FileExists(dir / L"apps\\ABC"));

    // A staging or destination folder that is itself a link: what it leads to stays as it is.
    fs::create_directories(dir / L"outside");
    WriteBytes(dir / L"outside\\precious.txt", "keep me");
    LinkRemover removeLink(dir / L"linked");
    ASSERT_TRUE(MakeFolderLink(dir / L"linked", dir / L"outside"));
    const std::string linked = dir.Narrow() + "linked";
    EXPECT_FALSE(function(archive.c_str(), linked.c_str(), destination.c_str(), 1));
    EXPECT_FALSE(function(archive.c_str(), (linked + "\\").c_str(), destination.c_str(), 1));
    EXPECT_FALSE(function(archive.c_str(), staging.c_str(), linked.c_str(), 1));
    EXPECT_EQ(std::vector<std::wstring>{L"precious.txt"}, NamesIn(dir / L"outside"));
    EXPECT_EQ("keep me", ReadBytes(dir / L"outside\\precious.txt"));
}

TEST_F(SyncLibrary, ArchivesThatWouldWriteMoreThanTheyHoldAreRefused)
{
    TempDir dir;
    fs::create_directories(dir / L"tmp\\OLD");
    fs::create_directories(dir / L"apps");
    WriteBytes(dir / L"tmp\\OLD\\left.txt", "from an earlier run");
    const std::string archive = dir.Narrow() + "ABC.zip";
    const std::string staging = dir.Narrow() + "tmp";
    const std::string destination = dir.Narrow() + "apps\\ABC";
    auto refusedUntouched = [&](const std::string& zip) {
        WriteBytes(dir / L"ABC.zip", zip);
        const bool updated = function(archive.c_str(), staging.c_str(), destination.c_str(), 1);
        return !updated && ReadBytes(dir / L"tmp\\OLD\\left.txt") == "from an earlier run" &&
               !FileExists(dir / L"tmp\\ABC") && !FileExists(dir / L"apps\\ABC");
    };
    // 30 entries that all name one stream of 4 MB.
    EXPECT_TRUE(refusedUntouched(SharedStreamZip(30, std::string(4 << 20, 'z'))));
    // An entry whose header and data lie inside another entry's data.
    EXPECT_TRUE(refusedUntouched(NestedEntryZip()));

    // Entries of their own whose declared sizes add up to more than the disk holds.
    ULARGE_INTEGER available = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(dir.Path().c_str(), &available, nullptr, nullptr));
    const uint32_t declared = 0xFFFF0000u;
    const size_t count = static_cast<size_t>(available.QuadPart / declared) + 2;
    std::vector<RawRecord> records;
    std::vector<std::string> data;
    for (size_t i = 0; i < count; ++i) {
        RawRecord record;
        record.name = "big" + std::to_string(i) + ".bin";
        data.push_back(RawDeflate("x"));
        record.crc = Crc32Of("x");
        record.compressedSize = static_cast<uint32_t>(data.back().size());
        record.uncompressedSize = declared;
        records.push_back(record);
    }
    EXPECT_TRUE(refusedUntouched(RawZip(records, data))) << count << " entries of 4 GB";

    // A stream that inflates far beyond the size its entry declares.
    const std::string payload(1 << 20, 'q');
    RawRecord record;
    record.name = "liar.bin";
    record.crc = Crc32Of(payload.substr(0, 1000));
    const std::string stream = RawDeflate(payload);
    record.compressedSize = static_cast<uint32_t>(stream.size());
    record.uncompressedSize = 1000;
    WriteBytes(dir / L"ABC.zip", RawZip({record}, {stream}));
    EXPECT_FALSE(function(archive.c_str(), staging.c_str(), destination.c_str(), 1));
    EXPECT_GE(1000u, ReadBytes(dir / L"tmp\\ABC\\liar.bin").size());
    EXPECT_FALSE(FileExists(dir / L"apps\\ABC\\liar.bin"));
}

// Names marked UTF-8 and names in code page 437 (no mark) are written, listed
// and copied as the archive spells them, into a destination given in ANSI.
// Names that differ by more than letter case are files of their own, even
// where a linguistic comparison calls them equal ("\u00DF" and "ss").
TEST_F(SyncLibrary, EntryNamesAreInstalledAsTheArchiveSpellsThem)
{
    TempDir dir;
    fs::create_directories(dir / L"apps");
    ZipEntry utf8{"Citt\xC3\xA0.txt", "utf-8"};
    utf8.utf8Name = true;
    ZipEntry utf8Folder{"Dati/Perch\xC3\xA9.txt", "in a folder"};
    utf8Folder.utf8Name = true;
    ZipEntry sharpS{"Stra\xC3\x9F" "e.txt", "sharp s"};
    sharpS.utf8Name = true;
    ASSERT_TRUE(WriteZip(dir / L"ABC.zip", {utf8, {"Caff\x8A.txt", "cp437"}, utf8Folder, {"Men\x97/n.txt", "n"}, sharpS,
                                             {"Strasse.txt", "double s"}}));
    const std::string archive = dir.Narrow() + "ABC.zip";
    const std::string staging = dir.Narrow() + "tmp";
    const std::string destination = dir.Narrow() + "apps\\Societ\xE0"; // ANSI, as the export takes it
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 1));
    const std::wstring installed = dir / L"apps\\Societ\u00E0\\";
    EXPECT_EQ((std::vector<std::wstring>{L"Caff\u00E8.txt", L"Citt\u00E0.txt", L"Dati", L"Men\u00F9", L"Strasse.txt",
                                         L"Stra\u00DFe.txt"}),
              NamesIn(installed));
    EXPECT_EQ("sharp s", ReadBytes(installed + L"Stra\u00DFe.txt"));
    EXPECT_EQ("double s", ReadBytes(installed + L"Strasse.txt"));
    EXPECT_EQ("utf-8", ReadBytes(installed + L"Citt\u00E0.txt"));
    EXPECT_EQ("cp437", ReadBytes(installed + L"Caff\u00E8.txt"));
    EXPECT_EQ("in a folder", ReadBytes(installed + L"Dati\\Perch\u00E9.txt"));
    EXPECT_EQ("n", ReadBytes(installed + L"Men\u00F9\\n.txt"));
    // A second run finds every file up to date under its own name.
    FILETIME before = WriteTimeOf(installed + L"Citt\u00E0.txt");
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 1));
    FILETIME after = WriteTimeOf(installed + L"Citt\u00E0.txt");
    EXPECT_EQ(0, CompareFileTime(&before, &after));
    EXPECT_EQ(6u, NamesIn(installed).size());
}

// A running program holds its files; replacing some of them and not others
// would leave half of each build, so nothing is copied until it lets go.
TEST_F(SyncLibrary, AFileHeldOpenByAProgramStopsTheUpdateBeforeAnyFileIsCopied)
{
    TempDir dir;
    fs::create_directories(dir / L"apps");
    DosStamp old = MakeDos(2024, 6, 1, 12, 0, 0);
    DosStamp later = MakeDos(2024, 7, 1, 12, 0, 0);
    ASSERT_TRUE(WriteZip(dir / L"v1.zip", {{"a.txt", "old a", old}, {"sub/held.dll", "old dll", old}}));
    ASSERT_TRUE(WriteZip(dir / L"v2.zip", {{"a.txt", "new a", later}, {"sub/held.dll", "new dll", later}}));
    const std::string staging = dir.Narrow() + "tmp";
    const std::string destination = dir.Narrow() + "apps\\ABC";
    ASSERT_TRUE(function((dir.Narrow() + "v1.zip").c_str(), staging.c_str(), destination.c_str(), 1));
    const std::string update = dir.Narrow() + "v2.zip";
    for (DWORD share : {DWORD(0), DWORD(FILE_SHARE_READ)}) {
        SCOPED_TRACE(share);
        HANDLE held = CreateFileW((dir / L"apps\\ABC\\sub\\held.dll").c_str(), GENERIC_READ, share, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        const bool updated = function(update.c_str(), staging.c_str(), destination.c_str(), 1);
        CloseHandle(held);
        EXPECT_FALSE(updated);
        EXPECT_EQ("old a", ReadBytes(dir / L"apps\\ABC\\a.txt")) << "nothing copied";
        EXPECT_EQ("old dll", ReadBytes(dir / L"apps\\ABC\\sub\\held.dll"));
    }
    // Once it is free, the next update completes.
    ASSERT_TRUE(function(update.c_str(), staging.c_str(), destination.c_str(), 1));
    EXPECT_EQ("new a", ReadBytes(dir / L"apps\\ABC\\a.txt"));
    EXPECT_EQ("new dll", ReadBytes(dir / L"apps\\ABC\\sub\\held.dll"));
}

// Two processes install into one folder with one staging folder at once:
// one step runs, the other waits for it or returns a result of its own
// (busy, or a step awaiting its caller's conclusion) without touching
// anything, so the folder ends exactly at the build of the step that ran.
TEST_F(SyncLibrary, TwoCallersOfOneStagingFolderNeverMixTheirBuilds)
{
    TempDir dir;
    fs::create_directories(dir / L"apps");
    std::vector<ZipEntry> builds[3];
    for (int i = 0; i < 40; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        for (int b = 0; b < 3; ++b)
            builds[b].push_back({name, std::to_string(b + 1) + " of " + name, MakeDos(2024, b + 1, 1, 0, 0, 0)});
    }
    for (int b = 0; b < 3; ++b)
        ASSERT_TRUE(WriteZip(dir / (L"v" + std::to_wstring(b + 1) + L".zip"), builds[b]));
    const std::string staging = dir.Narrow() + "tmp";
    const std::wstring destination = dir / L"apps\\ABC";
    ASSERT_TRUE(function((dir.Narrow() + "v1.zip").c_str(), staging.c_str(), Utf8FromWide(destination).c_str(), 1));

    const std::wstring probe = BinaryFolder() + L"binding_probe.exe";
    PROCESS_INFORMATION callers[2] = {};
    for (int c = 0; c < 2; ++c) {
        std::wstring commandLine = L"\"" + probe + L"\" --step \"" + WideFromUtf8(staging) + L"\" \"" + destination +
                                   L"\" ABC=" + std::to_wstring(c + 2) + L" \"" + (dir / (L"v" + std::to_wstring(c + 2) + L".zip")) +
                                   L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &callers[c]));
    }
    DWORD results[2] = {99, 99};
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(callers[c].hProcess, 240000));
        GetExitCodeProcess(callers[c].hProcess, &results[c]);
        CloseHandle(callers[c].hProcess);
        CloseHandle(callers[c].hThread);
    }
    EXPECT_EQ(1, (results[0] == 0) + (results[1] == 0)) << results[0] << " " << results[1];
    for (DWORD result : results)
        EXPECT_TRUE(result == 0 || result == static_cast<DWORD>(SyncResult::Busy) ||
                    result == static_cast<DWORD>(SyncResult::AwaitingConclusion))
            << result;
    ASSERT_TRUE(ConcludeArchiveStep(staging, true));
    const int ran = results[0] == 0 ? 2 : 3;
    for (const ZipEntry& entry : builds[ran - 1])
        EXPECT_EQ(entry.data, ReadBytes(destination + L"\\" + WideFromUtf8(entry.name))) << "build " << ran;
}

class SyncBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy_file(BinaryFolder() + L"binding_probe.exe", dir / L"probe.exe");
        fs::create_directories(dir / L"index_deps");
    }
    void PlaceLibrary(const std::wstring& folder)
    {
        fs::copy_file(BinaryFolder() + L"trelko_util_r.dll", folder + L"trelko_util_r.dll");
    }
    std::map<std::string, std::string> Probe(bool unsetPath = false, const std::wstring& workingFolder = std::wstring())
    {
        return RunProbe(dir / L"probe.exe", dir / L"probe.txt", unsetPath, workingFolder);
    }
    std::string Folder() const { return dir.Narrow().substr(0, dir.Narrow().size() - 1); }

    TempDir dir;
};

TEST_F(SyncBinding, LibraryOnlyInIndexDepsIsFoundThroughPath)
{
    PlaceLibrary(dir / L"index_deps\\");
    auto seen = Probe();
    EXPECT_EQ(0u, seen["PATH"].find(Folder() + "\\index_deps;")) << seen["PATH"];
    EXPECT_EQ(std::string::npos, seen["PATH"].find(";" + Folder() + "\\index_deps;")) << "prepended once";
    EXPECT_EQ("1", seen["FUNCTION"]);
    EXPECT_EQ(Lower(Folder() + "\\index_deps\\trelko_util_r.dll"), Lower(seen["LOADED"]));
}

TEST_F(SyncBinding, LibraryInBothPlacesLoadsTheOneBesideTheProgram)
{
    PlaceLibrary(dir.Path());
    PlaceLibrary(dir / L"index_deps\\");
    auto seen = Probe();
    EXPECT_EQ(0u, seen["PATH"].find(Folder() + ";")) << "PATH names the folder the library is loaded from";
    EXPECT_EQ(Lower(Folder() + "\\trelko_util_r.dll"), Lower(seen["LOADED"]));
}

TEST_F(SyncBinding, UnsetPathBecomesTheLibraryFolderAndASemicolon)
{
    PlaceLibrary(dir / L"index_deps\\");
    auto seen = Probe(true);
    EXPECT_EQ(Folder() + "\\index_deps;", seen["PATH"]);
    EXPECT_EQ("1", seen["FUNCTION"]);
}

// A copy in the working folder (a double-clicked document's Downloads) is
// never loaded: only ours, by full path.
TEST_F(SyncBinding, MissingLibraryIsAClearErrorNotACrash)
{
    TempDir downloads;
    PlaceLibrary(downloads.Path());
    auto seen = Probe(true, downloads.Path());
    EXPECT_EQ("0", seen["PATHSET"]) << "PATH stays unset";
    EXPECT_EQ("0", seen["FUNCTION"]);
    EXPECT_EQ("", seen["LOADED"]);
    EXPECT_NE(std::string::npos, seen["ERROR"].find("trelko_util_r.dll")) << seen["ERROR"];

    // A library built for the other width (its header names the other
    // machine) beside the program is refused by the loader: the same error.
    std::string library = ReadBytes(BinaryFolder() + L"trelko_util_r.dll");
    ASSERT_GT(library.size(), 0x40u);
    const uint32_t header = *reinterpret_cast<const uint32_t*>(&library[0x3C]);
    ASSERT_LT(header + 6, library.size());
    uint16_t* machine = reinterpret_cast<uint16_t*>(&library[header + 4]);
    *machine = *machine == IMAGE_FILE_MACHINE_AMD64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    WriteBytes(dir / L"trelko_util_r.dll", library);
    seen = Probe();
    EXPECT_EQ("0", seen["FUNCTION"]);
    EXPECT_EQ("", seen["LOADED"]);
    EXPECT_NE(std::string::npos, seen["ERROR"].find("trelko_util_r.dll")) << seen["ERROR"];
}
