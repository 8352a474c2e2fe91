// The folder update from an archive through aggiorna_files: a fresh install
// of 30 files (floor: the extraction plus one bare xcopy process per file,
// as the design copies; limit: the extraction plus an in-process CopyFileW per
// file), and a re-run on an up-to-date folder of 300 files (floor: the extraction plus the
// two CRC passes that equal times call for; limit: one read of every file).
#include "bench/Report.h"
#include "environment/SyncBinding.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "trelko_util/Crc32.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/FolderSync.h"
#include "trelko_util/Unzipper.h"

#include <cstdio>
#include <filesystem>
#include <random>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

/// Files of mixed sizes (many small, some large), about 100 KB each on average.
std::vector<ZipEntry> MakeEntries(int count, size_t& total)
{
    std::mt19937 random(42);
    std::vector<ZipEntry> entries;
    total = 0;
    for (int i = 0; i < count; ++i) {
        size_t size = (i % 30 == 0) ? 900000 : (i % 5 == 0 ? 150000 : 40000 + random() % 20000);
        std::string data(size, '\0');
        for (size_t j = 0; j < size; j += 4)
            data[j] = static_cast<char>(random());
        total += size;
        entries.push_back({"dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin", data});
    }
    return entries;
}

} // namespace

int main()
{
    TempDir dir;
    // The re-run reads 300 files; a fresh install starts an xcopy process per
    // file (about a tenth of a second each under Wine), so it takes 30, to
    // keep five rounds of it and its floor within a few minutes.
    size_t total = 0, freshTotal = 0;
    const std::vector<ZipEntry> entries = MakeEntries(300, total);
    WriteZip(dir / L"BENCH.zip", entries);
    WriteZip(dir / L"FRESH.zip", MakeEntries(30, freshTotal));
    const std::string archive = dir.Narrow() + "BENCH.zip";
    const std::string freshArchive = dir.Narrow() + "FRESH.zip";

    HMODULE module = LoadLibraryW((BinaryFolder() + L"trelko_util_r.dll").c_str());
    auto aggiorna = reinterpret_cast<AggiornaFilesFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "aggiorna_files")));
    if (!aggiorna) {
        fprintf(stderr, "trelko_util_r.dll not found beside the benchmark\n");
        return 1;
    }

    fs::create_directories(dir / L"apps");
    // Extraction of an archive into a folder, then work on every extracted file.
    auto extractThen = [&](const std::wstring& zip, const std::wstring& into,
                           const std::function<void(const std::wstring&, const std::wstring&)>& each) {
        UnzipArchive(zip, into);
        std::vector<ListedFile> files;
        const std::wstring root = into + L"\\";
        ListFiles(root, L"*", true, files);
        for (const ListedFile& file : files)
            each(file.first + file.second, file.first.substr(root.size()));
    };

    // Every run of the fresh install and of its floor and limit starts from
    // nothing: folders of its own.
    int run = 0;
    XcopyCopier xcopy;
    const std::vector<Samples> fresh = Interleaved(
        kRounds,
        {[&] {
             const std::string n = std::to_string(++run);
             aggiorna(freshArchive.c_str(), (dir.Narrow() + "tmp" + n).c_str(),
                      (dir.Narrow() + "apps\\FRESH" + n).c_str(), 1);
         },
         [&] {
             const std::wstring n = std::to_wstring(run);
             extractThen(dir / L"FRESH.zip", dir / (L"tmp-floor" + n + L"\\FRESH"),
                         [&](const std::wstring& file, const std::wstring& relative) {
                             std::wstring target = dir / (L"floor" + n + L"\\" + relative);
                             MakeFolderPath(target);
                             xcopy.CopyInto(file, target.substr(0, target.size() - 1), dir / (L"tmp-floor" + n));
                         });
         },
         [&] {
             const std::wstring n = std::to_wstring(run);
             extractThen(dir / L"FRESH.zip", dir / (L"tmp-limit" + n + L"\\FRESH"),
                         [&](const std::wstring& file, const std::wstring& relative) {
                             std::wstring target = dir / (L"limit" + n + L"\\" + relative);
                             MakeFolderPath(target);
                             CopyFileW(file.c_str(), (target + file.substr(file.find_last_of(L'\\') + 1)).c_str(),
                                       FALSE);
                         });
         }});
    ReportLine("fresh install 30 files", fresh[0], fresh[1], fresh[2]);

    const std::string staging = dir.Narrow() + "tmp";
    const std::string installed = dir.Narrow() + "apps\\BENCH";
    aggiorna(archive.c_str(), staging.c_str(), installed.c_str(), 1);
    zelto::ComputeCrc32 crc32;
    const std::vector<Samples> rerun = Interleaved(
        kRounds, {[&] { aggiorna(archive.c_str(), staging.c_str(), installed.c_str(), 1); },
                  [&] {
                      extractThen(dir / L"BENCH.zip", dir / L"tmp4\\BENCH",
                                  [&](const std::wstring& file, const std::wstring& relative) {
                                      bool error = false;
                                      crc32.FileCrc(file, error);
                                      crc32.FileCrc(WideFromAnsi(installed) + L"\\" + relative +
                                                        file.substr(file.find_last_of(L'\\') + 1),
                                                    error);
                                  });
                  },
                  [&] {
                      std::vector<ListedFile> files;
                      ListFiles(WideFromAnsi(installed) + L"\\", L"*", true, files);
                      for (const ListedFile& file : files)
                          ReadBytes(file.first + file.second);
                  }});
    ReportLine("re-run on up-to-date 300 files", rerun[0], rerun[1], rerun[2]);
    printf("archives: %zu files, %.1f MB (re-run); 30 files, %.1f MB (fresh install)\n", entries.size(), total / 1e6,
           freshTotal / 1e6);
    return 0;
}
