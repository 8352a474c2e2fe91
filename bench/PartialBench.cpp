// Updates of a program of 300 files in a 64 MB archive whose new build
// changed many files spread over the archive (30, then 120: 40 %), taken as
// the changed records alone. Each line: the bytes fetched against the
// changed records plus the entries file (floor) and the whole archive
// (limit). The road must be taken for both.
#include "bench/Report.h"
#include "format/ArchiveEntries.h"
#include "install/PartialUpdate.h"
#include "environment/SyncBinding.h"
#include "net/Crypto.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <cstdio>
#include <filesystem>
#include <random>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr size_t kFiles = 300;
constexpr size_t kFileSize = 64 * 1024 * 1024 / kFiles;

// Fetches records and reports nothing.
class QuietHost : public InstallHost {
public:
    bool AskYesNo(const std::wstring&, const std::wstring&) override { return false; }
    void Notify(const std::wstring&, const std::wstring&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void SetStatusText(const std::string&) override {}
    void ShowDownloadError(const std::wstring&, const std::wstring&) override {}
    void RefillList() override {}
    bool SaveInstalledState() override { return true; }
    StepOutcome Synchronise(const std::vector<std::string>&, const std::string&, const std::string&, bool,
                            const std::string&, const std::function<void(int)>&) override
    {
        return {SyncResult::CopyFailed, -1, L""};
    }
    bool ConcludeSynchronisation(const std::string&, bool) override { return false; }
    void Received(uint64_t, uint64_t) override {}
};

// File i changed in the new build when changed(i); its content and time differ.
template <typename Changed> std::vector<ZipEntry> Build(bool newBuild, Changed changed)
{
    std::vector<ZipEntry> entries;
    for (size_t i = 0; i < kFiles; ++i) {
        const bool newer = newBuild && changed(i);
        std::mt19937 random(static_cast<unsigned>(newer ? i + 100000 : i));
        std::string data(kFileSize, '\0');
        for (char& byte : data)
            byte = static_cast<char>(random());
        entries.push_back({"dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin", data,
                           newer ? MakeDos(2024, 6, 2, 8, 0, 0) : MakeDos(2024, 6, 1, 8, 0, 0)});
    }
    return entries;
}

template <typename Changed>
bool MeasureBytes(const TempDir& dir, const std::string& installed, const std::string& label, Changed changed)
{
    const std::wstring zipPath = dir / L"new.zip";
    WriteZip(zipPath, Build(true, changed));
    const std::string archive = ReadBytes(zipPath);
    ArchiveEntries map;
    if (!DescribeArchive(zipPath, map)) {
        fprintf(stderr, "the archive cannot be mapped\n");
        return false;
    }
    const std::string entriesFile = FormatEntriesFile(map);
    LoopbackServer server([&](const HttpRequest& request) {
        HttpResponse response;
        if (request.target == "/APP.zip.entries")
            response.body = entriesFile;
        else
            response = RangeAnswer(request, archive, "\"b2\"");
        return response;
    });
    SoftwareRecord record;
    record.name = "APP";
    record.downloadAddress = server.Url("/APP.zip");
    record.archiveSha256 = HexOf(Sha256Of(archive));
    record.archiveSize = static_cast<int64_t>(archive.size());
    record.entriesSha256 = HexOf(Sha256Of(entriesFile));
    record.entriesSize = static_cast<int64_t>(entriesFile.size());
    record.installedFolder = installed;

    QuietHost host;
    if (!FetchChangedRecords(record, installed, {}, dir.Narrow() + "records.zip", host)) {
        fprintf(stderr, "%s: the update took the whole archive\n", label.c_str());
        return false;
    }
    uint64_t changedBytes = 0;
    for (size_t i = 0; i < kFiles; ++i)
        if (changed(i))
            changedBytes += map.entries[i].length;
    const unsigned long long fetched = server.BodyBytesSent();
    const uint64_t needed = changedBytes + entriesFile.size();
    printf("%s, bytes: fetched %llu in %zu requests; floor (changed records + entries file) %llu; limit (archive) "
           "%zu; floor x%.3f limit x%.4f\n",
           label.c_str(), fetched, server.Requests().size(), static_cast<unsigned long long>(needed), archive.size(),
           static_cast<double>(fetched) / static_cast<double>(needed),
           static_cast<double>(fetched) / static_cast<double>(archive.size()));
    return true;
}

} // namespace

int main()
{
    TempDir dir;
    auto none = [](size_t) { return false; };
    WriteZip(dir / L"b1.zip", Build(false, none));
    fs::create_directories(dir / L"apps");
    const std::string installed = dir.Narrow() + "apps\\installed";
    if (!UpdateFolderFromArchiveNow(dir.Narrow() + "b1.zip", dir.Narrow() + "tmp", installed)) {
        fprintf(stderr, "build 1 cannot be installed\n");
        return 1;
    }
    // What the check of the folder against the entries file costs once an
    // update is made: every file read again.
    ArchiveEntries installedMap;
    if (!DescribeArchive(dir / L"b1.zip", installedMap)) {
        fprintf(stderr, "build 1 cannot be mapped\n");
        return 1;
    }
    bool holds = true;
    auto check = [&] { holds = FolderHoldsEntries(installedMap, WideFromUtf8(installed)) && holds; };
    // The floor: each file read once in large blocks, nothing computed.
    auto read = [&] {
        std::vector<char> block(1 << 20);
        for (const auto& item : fs::recursive_directory_iterator(fs::path(WideFromUtf8(installed)))) {
            HANDLE file = CreateFileW(item.path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            DWORD got = 0;
            while (file != INVALID_HANDLE_VALUE && ReadFile(file, block.data(), 1 << 20, &got, nullptr) && got > 0) {
            }
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
        }
    };
    const std::vector<Samples> runs = Interleaved(kRounds, {check, read});
    if (!holds) {
        fprintf(stderr, "the installed folder is not what its entries file says\n");
        return 1;
    }
    ReportLine("folder checked against the entries file after a partial update (300 files, 64 MB), against "
               "reading the files (floor and limit)",
               runs[0], runs[1], runs[1]);
    // Changes spread over the archive: every tenth file, then two of every five.
    const bool tenth = MeasureBytes(dir, installed, "partial update, 30 of 300 files changed (64 MB archive)",
                                    [](size_t i) { return i % 10 == 3; });
    const bool forty = MeasureBytes(dir, installed, "partial update, 120 of 300 files changed (40 %, 64 MB archive)",
                                    [](size_t i) { return i % 5 == 1 || i % 5 == 3; });
    return tenth && forty ? 0 : 1;
}
