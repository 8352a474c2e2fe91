// The real MorvIndex.exe under Wine putting an interrupted step back: a step
// killed half-way is undone file by file at the next start, and closing the
// window during the copies puts the previous build back before the process
// ends.
#include "environment/SyncBinding.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "trelko_util/InstallJournal.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <tlhelp32.h>

#include <cwchar>
#include <filesystem>
#include <map>

using namespace testing_support;

namespace {

// Ends every process started by the process with id parent, and theirs: a
// copying process whose installer was killed may wait for ever under Wine
// (its console went with the installer), holding the file it copies.
void EndDescendantsOf(DWORD parent)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    std::vector<DWORD> children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == parent && entry.th32ProcessID != parent)
            children.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    for (DWORD child : children) {
        EndDescendantsOf(child);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child);
        if (process) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
}

// How far an update of the data folder's programs has gone, counted by the old
// copies moved aside: reading the program's files would hold them open, and a
// held file stops the update before it begins.
int OldCopiesAside(const std::wstring& dataFolder)
{
    int count = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dataFolder + L"morvindex_tmp.undo\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do
        count += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(found.cFileName, kJournalFileName) != 0;
    while (FindNextFileW(find, &found));
    FindClose(find);
    return count;
}

/// A launcher copy with ABC build 1 (60 files) installed and recorded, and the
/// archive of build 2 (the same files newer, and a new folder) in scratch.
struct Build1Installed {
    static constexpr int kFiles = 60;
    Build1Installed()
    {
        launcher.ShipSyncLibrary();
        std::filesystem::create_directories(data + L"apps");
        std::vector<ZipEntry> second;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            first.push_back({name, "build 1 of " + name, MakeDos(2024, 1, 1, 0, 0, 0)});
            second.push_back({name, "build 2 of " + name, MakeDos(2024, 2, 1, 0, 0, 0)});
        }
        second.push_back({"nuova cartella/n.txt", "new in build 2", MakeDos(2024, 2, 1, 0, 0, 0)});
        ready = WriteZip(scratch / L"ABC_1.zip", first) && WriteZip(scratch / L"ABC_2.zip", second) &&
                UpdateFolderFromArchiveNow(scratch.Narrow() + "ABC_1.zip", staging, Utf8FromWide(installed));
        WriteRegString(HKEY_CURRENT_USER, key, L"VERSION", L"1");
        WriteRegString(HKEY_CURRENT_USER, key, L"PATH", installed);
    }
    /// The folder holds exactly build 1, with its times, and build 1 is recorded.
    void ExpectBuild1() const
    {
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            EXPECT_EQ("build 1 of " + name, ReadBytes(installed + L"\\" + WideFromUtf8(name)));
            const FILETIME expected = FileTimeOf(first[static_cast<size_t>(i)].stamp);
            const FILETIME actual = WriteTimeOf(installed + L"\\" + WideFromUtf8(name));
            EXPECT_EQ(0, CompareFileTime(&expected, &actual)) << name << " keeps its time";
        }
        EXPECT_FALSE(FileExists(installed + L"\\nuova cartella"));
        EXPECT_EQ(L"1", ReadRegString(HKEY_CURRENT_USER, key, L"VERSION"));
        std::string tag;
        EXPECT_FALSE(PendingArchiveStep(staging, tag));
    }

    TempDir scratch;
    LauncherCopy launcher;
    const std::wstring data = launcher.DataFolder();
    const std::wstring installed = data + L"apps\\ABC";
    const std::string staging = Utf8FromWide(data) + "morvindex_tmp";
    const std::wstring key = L"software\\" + launcher.Name() + L"\\index\\ABC";
    std::vector<ZipEntry> first;
    bool ready = false;
};

} // namespace

/// A step of build 2 ended from outside half-way, and what else happened
/// before the next start.
struct KilledStep {
    const char* name;
    /// The step's tag: a repair or re-install of the recorded build 1 carries
    /// build 1 (as an older launcher tagged it, or with an identity of its own).
    const wchar_t* tag;
    /// A cleaner removed the staging folder, leaving the journal beside it.
    bool stagingRemoved;
};

class KilledMidway : public ::testing::TestWithParam<KilledStep> {};

INSTANTIATE_TEST_SUITE_P(Startup, KilledMidway,
                         ::testing::Values(KilledStep{"Update", L"ABC=2;s2", false},
                                           KilledStep{"RepairTaggedTheOldWay", L"ABC=1", false},
                                           KilledStep{"Repair", L"ABC=1;s2", false},
                                           KilledStep{"UpdateWhoseStagingACleanerRemoved", L"ABC=2;s2", true}),
                         [](const ::testing::TestParamInfo<KilledStep>& info) { return std::string(info.param.name); });

// The process running a step of many files is killed half-way: the next start
// of the launcher puts the folder back to the recorded build, file by file,
// before anything else touches it; a repair of that very build too, and a
// step whose staging folder is gone.
TEST_P(KilledMidway, StepIsPutBackFileByFileAtTheNextStart)
{
    Build1Installed abc;
    ASSERT_TRUE(abc.ready);
    const int kFiles = Build1Installed::kFiles;
    const std::wstring& data = abc.data;
    const std::wstring& installed = abc.installed;
    const std::string& staging = abc.staging;
    TempDir& scratch = abc.scratch;

    // Build 2 by a process of its own, as the launcher installs it, ended
    // from outside once a good part of the files are new.
    const std::wstring probe = BinaryFolder() + L"binding_probe.exe";
    std::wstring commandLine = L"\"" + probe + L"\" --step \"" + WideFromUtf8(staging) + L"\" \"" + installed +
                               L"\" " + GetParam().tag + L" \"" + (scratch / L"ABC_2.zip") + L"\"";
    PROCESS_INFORMATION updating = {};
    HANDLE tree = nullptr;
    ASSERT_TRUE(StartWithoutOutput(probe, commandLine, updating, tree));
    auto newFiles = [&] {
        int count = 0;
        for (int i = 0; i < kFiles; ++i)
            count += ReadBytes(installed + L"\\f" + std::to_wstring(i) + L".txt").rfind("build 2", 0) == 0;
        return count;
    };
    const bool midway = WaitUntil(120000, [&] { return OldCopiesAside(data) >= 10; });
    TerminateProcess(updating.hProcess, 1);
    WaitForSingleObject(updating.hProcess, 60000);
    const DWORD updatingId = updating.dwProcessId;
    EndDescendantsOf(updatingId);
    CloseHandle(updating.hProcess);
    CloseHandle(updating.hThread);
    ASSERT_TRUE(midway);
    const int mixed = newFiles();
    ASSERT_GT(mixed, 0) << "a mix of two builds, until the next start";
    ASSERT_LT(mixed, kFiles) << "killed before the end";
    if (GetParam().stagingRemoved) {
        ASSERT_TRUE(WaitUntil(10000, [&] {
            std::error_code error;
            std::filesystem::remove_all(std::filesystem::path(WideFromUtf8(staging)), error);
            return !FileExists(WideFromUtf8(staging));
        }));
    }

    HANDLE process = abc.launcher.Start();
    ASSERT_NE(nullptr, LauncherCopy::WaitMainWindow(process, kStartTimeout));
    abc.ExpectBuild1();
    EXPECT_TRUE(LauncherCopy::Close(process, kStartTimeout));
    // A copying process the killed one was still starting shows up later.
    EndDescendantsOf(updatingId);
    if (tree) {
        TerminateJobObject(tree, 1);
        CloseHandle(tree);
    }
}

// Closing the window while an update copies its files stops it between two
// files and puts the previous build back before the process ends.
TEST(Startup, ClosingDuringTheCopiesPutsThePreviousBuildBack)
{
    Build1Installed abc;
    ASSERT_TRUE(abc.ready);
    std::map<std::string, std::string> files;
    LoopbackServer server([&](const HttpRequest& request) { return StaticFiles(files)(request); });
    files = {{"/sw_index.dat", "[PATHS]\r\nBASE=" + server.Url("/") + "\r\n[ABC]\r\nSW_TYPE=0\r\nBUILD_DISP=2\r\n"},
             {"/sw_repo.dat", "[PRINCIPALE]\r\nURL=" + server.Url("/sw_index.dat") + "\r\n"},
             {"/ABC/ABC_2.zip", ReadBytes(abc.scratch / L"ABC_2.zip")}};
    abc.launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));

    HANDLE process = abc.launcher.Start();
    HWND window = LauncherCopy::WaitMainWindow(process, kStartTimeout);
    ASSERT_NE(nullptr, window);
    HWND list = GetDlgItem(window, 1000);
    ASSERT_TRUE(WaitUntil(20000, [&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1; }));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1011)));
    ASSERT_TRUE(WaitUntil(60000, [&] { return OldCopiesAside(abc.data) >= 5; })) << "the copies under way";
    // Well inside the 120 s an unstoppable copy phase was waited for.
    EXPECT_TRUE(LauncherCopy::Close(process, 60000));
    abc.ExpectBuild1();
}
