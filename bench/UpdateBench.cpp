// An update of a program of 300 files in a 64 MB archive whose new build
// changed one file, from a server that sends 10 MB/s: taken as the changed
// records alone (the entries file, byte ranges, a small archive for the
// library) against the same update taken whole. Two lines: the bytes fetched
// against the changed records plus the entries file (and the archive), and
// the road's time against the whole update's (and the changed bytes' time at
// the server's rate).
#include "bench/Report.h"
#include "format/ArchiveEntries.h"
#include "install/PartialUpdate.h"
#include "environment/SyncBinding.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "trelko_util/Unzipper.h"

#include <cstdio>
#include <filesystem>
#include <random>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr size_t kFiles = 300;
constexpr size_t kFileSize = 64 * 1024 * 1024 / kFiles;
// 10 MB/s: 100 KB every 10 ms.
constexpr size_t kPiece = 100 * 1000;
constexpr int kPieceDelayMs = 10;
constexpr double kServerRate = 10e6;

// Installs nothing and asks nothing: the road's fetches report here.
class QuietHost : public InstallHost {
public:
    bool AskYesNo(const std::wstring&, const std::wstring&) override { return false; }
    void Notify(const std::wstring&, const std::wstring&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void SetStatusText(const std::string& text) override { status = text; }
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
    std::string status;
};

std::vector<ZipEntry> Build(int changedContent)
{
    std::vector<ZipEntry> entries;
    for (size_t i = 0; i < kFiles; ++i) {
        std::mt19937 random(static_cast<unsigned>(i == 150 ? changedContent : i));
        std::string data(kFileSize, '\0');
        for (char& byte : data)
            byte = static_cast<char>(random());
        const bool newer = i == 150 && changedContent != 150;
        entries.push_back({"dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin", data,
                           newer ? MakeDos(2024, 6, 2, 8, 0, 0) : MakeDos(2024, 6, 1, 8, 0, 0)});
    }
    return entries;
}

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
    WriteZip(dir / L"b1.zip", Build(150));
    WriteZip(dir / L"b2.zip", Build(1000));
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
        HttpResponse response;
        if (request.target == "/APP.zip.entries")
            response.body = entriesFile;
        else
            response = RangeAnswer(request, archive, "\"b2\"");
        response.pieceSize = kPiece;
        response.pieceDelayMs = kPieceDelayMs;
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

    // Each road updates a copy of the installed folder.
    const std::string partialFolder = dir.Narrow() + "apps\\partial", wholeFolder = dir.Narrow() + "apps\\whole";
    CopyTree(WideFromUtf8(installed), WideFromUtf8(partialFolder));
    CopyTree(WideFromUtf8(installed), WideFromUtf8(wholeFolder));
    // Each road finds its staging folder as an installation leaves it: holding
    // the extracted build 1, which the library empties first.
    const std::string partialStaging = dir.Narrow() + "tmp-partial", wholeStaging = dir.Narrow() + "tmp-whole";
    UnzipArchive(dir / L"b1.zip", WideFromUtf8(partialStaging + "\\b1"));
    UnzipArchive(dir / L"b1.zip", WideFromUtf8(wholeStaging + "\\b1"));
    QuietHost host;
    bool partialOk = false, wholeOk = false;
    const unsigned long long sentBefore = server.BodyBytesSent();
    const std::string zip = dir.Narrow() + "partial.zip";
    // The decision reads every installed file whose time equals its entry's
    // (the content comparison); the library then empties staging and copies.
    const double choose = Seconds([&] { partialOk = FetchChangedRecords(record, partialFolder, {}, zip, host); });
    const double copy =
        Seconds([&] { partialOk = partialOk && UpdateFolderFromArchiveNow(zip, partialStaging, partialFolder); });
    const double partial = choose + copy;
    const unsigned long long fetched = server.BodyBytesSent() - sentBefore;
    const double whole = Seconds([&] {
        const std::string zip = dir.Narrow() + "whole.zip";
        DownloadOptions options;
        options.expectedSha256 = record.archiveSha256;
        options.expectedSize = record.archiveSize;
        wholeOk = DownloadWithResume(record.downloadAddress, zip, options) &&
                  UpdateFolderFromArchiveNow(zip, wholeStaging, wholeFolder);
    });
    if (!partialOk || !wholeOk) {
        fprintf(stderr, "an update failed (changed records only: %d, whole: %d)\n", partialOk, wholeOk);
        return 1;
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
               partial, whole, static_cast<double>(needed) / kServerRate);
    printf("changed records only: %.1f ms to decide and fetch, %.1f ms in the library; status \"%s\"\n",
           choose * 1e3, copy * 1e3, host.status.c_str());
    return 0;
}
