// Updates of a program of 300 files in a 64 MB archive whose new build
// changed many files spread over the archive (30, then 120: 40 %), taken as
// the changed records alone. Each line: the bytes fetched against the
// changed records plus the entries file (floor) and the whole archive
// (limit). The road must be taken for both.
#include "bench/ArchiveUpdate.h"
#include "bench/Report.h"
#include "format/ArchiveEntries.h"
#include "install/PartialUpdate.h"
#include "environment/SyncBinding.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <cstdio>
#include <filesystem>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

template <typename Changed>
bool MeasureBytes(const TempDir& dir, const std::string& installed, const std::string& label, Changed changed)
{
    const std::wstring zipPath = dir / L"new.zip";
    WriteZip(zipPath, BuildProgram([&changed](size_t i) { return changed(i) ? i + 100000 : i; }, changed));
    const std::string archive = ReadBytes(zipPath);
    ArchiveEntries map;
    if (!DescribeArchive(zipPath, map)) {
        fprintf(stderr, "the archive cannot be mapped\n");
        return false;
    }
    const std::string entriesFile = FormatEntriesFile(map);
    LoopbackServer server(
        [&](const HttpRequest& request) { return ArchiveAnswer(request, entriesFile, archive); });
    const SoftwareRecord record = ArchiveRecord(server.Url("/APP.zip"), archive, entriesFile, installed);

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
    WriteZip(dir / L"b1.zip", BuildProgram([](size_t i) { return i; }, [](size_t) { return false; }));
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
