// The launcher's own update: the next build's archive fetched from a loopback
// server, checked, unpacked and swapped in, to the new build's window, against
// the same archive's plain download plus a copy of its files (floor) and the
// plain download alone (limit).
#include "bench/PlainRead.h"
#include "tests/QuietCatalogueSink.h"
#include "bench/Report.h"
#include "publish/Packer.h"
#include "net/Crypto.h"
#include "format/LauncherImage.h"
#include "selfupdate/SelfUpdate.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <algorithm>
#include <map>

using namespace testing_support;

namespace {

std::vector<std::wstring> BuildFiles()
{
    std::vector<std::wstring> names = {kLauncherProgramFile, kLauncherLibraryFile};
    names.insert(names.end(), std::begin(kLauncherPictures), std::end(kLauncherPictures));
    return names;
}

std::wstring SourceOf(const std::wstring& name)
{
    return name == kLauncherProgramFile ? BinaryFolder() + L"next\\MorvIndex.exe" : BinaryFolder() + name;
}

// One self-update: the previous build fetches, and at its next start hands over.
double SelfUpdate(const LoopbackServer& server, const std::string& path, const std::string& archive)
{
    LauncherCopy launcher;
    launcher.ShipSyncLibrary();
    CreateDirectoryW(launcher.DataFolder().c_str(), nullptr);
    LauncherState state;
    state.m_programFolderW = launcher.Folder();
    state.m_dataFolderW = launcher.DataFolder();
    state.m_launcherBuild = ReadImageFacts(ReadBytes(launcher.ExePath())).build;
    state.m_signaturesRequired = true;
    state.m_makerKey.x = std::string(32, 'x');
    state.m_makerKey.y = std::string(32, 'y');
    SoftwareRecord offer;
    offer.name = LauncherSection(RunningWidth());
    offer.type = kLauncherSectionType;
    offer.availableBuild = state.m_launcherBuild + 1;
    offer.downloadAddress = server.Url(path);
    offer.archiveSha256 = HexOf(Sha256Of(archive));
    offer.archiveSize = static_cast<int64_t>(archive.size());
    state.m_catalogue = {offer};
    // The new build inherits this process's environment: its own APPDATA.
    SetEnvironmentVariableW(L"APPDATA", launcher.AppData().c_str());
    QuietCatalogueSink sink;
    LauncherStart start;
    const double seconds = Seconds([&] {
        FetchLauncherUpdate(state, state.m_catalogue, state.m_catalogueExpires, sink);
        start = SettleLauncherFiles(state, launcher.Name() + L".exe", 60000);
    });
    if (!start.handedOver)
        fprintf(stderr, "the new build did not take over\n");
    HWND window = FindWindowW(L"#32770", L"MorvIndex");
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (window)
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (process) {
        WaitForSingleObject(process, 20000);
        CloseHandle(process);
    }
    return seconds;
}

} // namespace

int main()
{
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    TempDir work;
    std::vector<PackedFile> packed;
    for (const std::wstring& name : BuildFiles()) {
        PackedFile file;
        file.name = Utf8FromWide(name);
        file.path = SourceOf(name);
        GetSystemTimeAsFileTime(&file.lastWrite);
        file.size = ReadBytes(file.path).size();
        packed.push_back(file);
    }
    std::string error;
    if (!WriteArchive(work / L"launcher.zip", packed, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::string archive = ReadBytes(work / L"launcher.zip");
    const std::string path = "/" + LauncherArchivePath(RunningWidth(), 1000);
    std::map<std::string, std::string> files = {{path, archive}};
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });

    Samples update, floor, limit;
    for (int round = 0; round < kRounds; ++round) {
        update.values.push_back(SelfUpdate(server, path, archive));
        limit.values.push_back(Seconds([&] { PlainRead(server.Port(), path); }));
        TempDir copy;
        floor.values.push_back(Seconds([&] {
            PlainRead(server.Port(), path);
            for (const std::wstring& name : BuildFiles())
                CopyFileW(SourceOf(name).c_str(), (copy / name).c_str(), FALSE);
        }));
    }
    printf("self-update archive: %zu bytes, %zu files\n", archive.size(), BuildFiles().size());
    ReportLine("launcher self-update, fetched and swapped to the new window", update, floor, limit);
    return 0;
}
