// An update of a program of 300 files in a 64 MB archive whose new build
// changed one file, from a server that sends 10 MB/s: taken as the changed
// records alone (the entries file, byte ranges, a small archive for the
// library) against the same update taken whole. Two lines: the bytes fetched
// against the changed records plus the entries file (and the archive), and
// the road's time against the whole update's (and the changed bytes' time at
// the server's rate).
#include "bench/ArchiveUpdate.h"
#include "bench/Report.h"
#include "format/ArchiveEntries.h"
#include "install/PartialUpdate.h"
#include "environment/SyncBinding.h"
#include "net/HttpTransfer.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "trelko_util/Unzipper.h"

#include <cstdio>
#include <filesystem>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// 10 MB/s: 100 KB every 10 ms.
constexpr size_t kPiece = 100 * 1000;
constexpr int kPieceDelayMs = 10;
constexpr double kServerRate = 10e6;

void CopyTree(const std::wstring& from, const std::wstring& to)
{
    for (const auto& item : fs::recursive_directory_iterator(fs::path(from))) {
        const fs::path copy = to + item.path().wstring().substr(from.size());
        fs::create_directories(copy.parent_path());
        if (item.is_regular_file())
            CopyFileW(item.path().c_str(), copy.c_str(), FALSE); // keeps the write time
    }
}

} // namespace

int main()
{
    TempDir dir;
    // Build 2 changed file 150 alone: other bytes, a later date.
    auto build = [](size_t changedSeed) {
        return BuildProgram([changedSeed](size_t i) { return i == 150 ? changedSeed : i; },
                            [changedSeed](size_t i) { return i == 150 && changedSeed != 150; });
    };
    WriteZip(dir / L"b1.zip", build(150));
    WriteZip(dir / L"b2.zip", build(1000));
    const std::string archive = ReadBytes(dir / L"b2.zip");
    ArchiveEntries map;
    if (!DescribeArchive(dir / L"b2.zip", map)) {
        fprintf(stderr, "the archive cannot be mapped\n");
        return 1;
    }
    const std::string entriesFile = FormatEntriesFile(map);

    fs::create_directories(dir / L"apps");
    const std::string staging = dir.Narrow() + "tmp";
    const std::string installed = dir.Narrow() + "apps\\installed";
    if (!UpdateFolderFromArchiveNow(dir.Narrow() + "b1.zip", staging, installed)) {
        fprintf(stderr, "build 1 cannot be installed\n");
        return 1;
    }

    LoopbackServer server([&](const HttpRequest& request) {
        HttpResponse response = ArchiveAnswer(request, entriesFile, archive);
        response.pieceSize = kPiece;
        response.pieceDelayMs = kPieceDelayMs;
        return response;
    });
    const SoftwareRecord record = ArchiveRecord(server.Url("/APP.zip"), archive, entriesFile, installed);

    QuietHost host;
    Samples partial, whole, choose, copy;
    unsigned long long fetched = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Each road of each round updates a copy of the installed folder and
        // finds its staging folder as an installation leaves it: holding the
        // extracted build 1, which the library empties first.
        const std::string name = std::to_string(round);
        const std::string partialFolder = dir.Narrow() + "apps\\partial" + name;
        const std::string wholeFolder = dir.Narrow() + "apps\\whole" + name;
        CopyTree(WideFromUtf8(installed), WideFromUtf8(partialFolder));
        CopyTree(WideFromUtf8(installed), WideFromUtf8(wholeFolder));
        const std::string partialStaging = dir.Narrow() + "tmp-partial" + name;
        const std::string wholeStaging = dir.Narrow() + "tmp-whole" + name;
        UnzipArchive(dir / L"b1.zip", WideFromUtf8(partialStaging + "\\b1"));
        UnzipArchive(dir / L"b1.zip", WideFromUtf8(wholeStaging + "\\b1"));
        bool partialOk = false, wholeOk = false;
        const unsigned long long sentBefore = server.BodyBytesSent();
        const std::string zip = dir.Narrow() + "partial" + name + ".zip";
        // The decision reads every installed file whose time equals its entry's
        // (the content comparison); the library then empties staging and copies.
        choose.values.push_back(
            Seconds([&] { partialOk = FetchChangedRecords(record, partialFolder, {}, zip, host); }));
        copy.values.push_back(Seconds(
            [&] { partialOk = partialOk && UpdateFolderFromArchiveNow(zip, partialStaging, partialFolder); }));
        partial.values.push_back(choose.values.back() + copy.values.back());
        fetched = server.BodyBytesSent() - sentBefore;
        whole.values.push_back(Seconds([&] {
            const std::string zip = dir.Narrow() + "whole" + name + ".zip";
            DownloadOptions options;
            options.expectedSha256 = record.archiveSha256;
            options.expectedSize = record.archiveSize;
            wholeOk = DownloadWithResume(record.downloadAddress, zip, options) &&
                      UpdateFolderFromArchiveNow(zip, wholeStaging, wholeFolder);
        }));
        if (!partialOk || !wholeOk) {
            fprintf(stderr, "an update failed (changed records only: %d, whole: %d)\n", partialOk, wholeOk);
            return 1;
        }
    }

    uint64_t changed = 0;
    for (const ArchiveEntry& entry : map.entries)
        if (entry.name == "dir3/file150.bin")
            changed = entry.length;
    const uint64_t needed = changed + entriesFile.size();
    const std::string operation = "partial update, 1 of 300 files changed (64 MB archive)";
    printf("%s, bytes: fetched %llu; floor (changed record + entries file) %llu; limit (archive) %zu; floor x%.3f "
           "limit x%.4f\n",
           operation.c_str(), fetched, static_cast<unsigned long long>(needed), archive.size(),
           static_cast<double>(fetched) / static_cast<double>(needed),
           static_cast<double>(fetched) / static_cast<double>(archive.size()));
    ReportLine(operation + ", time at 10 MB/s against the whole update (floor) and the changed bytes (limit)",
               partial, whole, Samples{{static_cast<double>(needed) / kServerRate}});
    printf("changed records only, medians: %.1f ms to decide and fetch, %.1f ms in the library; status \"%s\"\n",
           choose.Median() * 1e3, copy.Median() * 1e3, host.status.c_str());
    return 0;
}
