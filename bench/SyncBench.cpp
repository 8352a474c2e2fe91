// How much the one-xcopy-per-file design costs: a fresh install of an archive
// of 300 files through aggiorna_files, against the same extraction plus an
// in-process CopyFileW per file; and a re-run on the up-to-date folder, against
// one read of every installed file. Prints ratios measured in this run.
#include "launcher/SyncBinding.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/Unzipper.h"

#include <chrono>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <random>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

double Seconds(const std::function<void()>& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main()
{
    TempDir dir;
    std::mt19937 random(42);
    std::vector<ZipEntry> entries;
    size_t total = 0;
    for (int i = 0; i < 300; ++i) {
        // Mixed sizes: many small files, some large ones, about 30 MB in all.
        size_t size = (i % 30 == 0) ? 900000 : (i % 5 == 0 ? 150000 : 40000 + random() % 20000);
        std::string data(size, '\0');
        for (size_t j = 0; j < size; j += 4)
            data[j] = static_cast<char>(random());
        total += size;
        entries.push_back({"dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin", data});
    }
    WriteZip(dir / L"BENCH.zip", entries);
    std::string archive = dir.Narrow() + "BENCH.zip";

    HMODULE module = LoadLibraryW((BinaryFolder() + L"trelko_util_r.dll").c_str());
    auto aggiorna = reinterpret_cast<AggiornaFilesFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "aggiorna_files")));
    if (!aggiorna) {
        fprintf(stderr, "trelko_util_r.dll not found beside the benchmark\n");
        return 1;
    }

    fs::create_directories(dir / L"apps");
    double install = Seconds([&] {
        aggiorna(archive.c_str(), (dir.Narrow() + "tmp").c_str(), (dir.Narrow() + "apps\\BENCH").c_str(), 1);
    });
    double floor = Seconds([&] {
        UnzipArchive(archive, dir.Narrow() + "tmp2\\BENCH");
        std::vector<ListedFile> files;
        std::string root = dir.Narrow() + "tmp2\\BENCH\\";
        ListFiles(root, "*", true, files);
        for (const ListedFile& file : files) {
            std::string target = dir.Narrow() + "floor\\" + file.first.substr(root.size());
            MakeFolderPath(target);
            CopyFileW(WideFromAnsi(file.first + file.second).c_str(), WideFromAnsi(target + file.second).c_str(),
                      FALSE);
        }
    });
    double rerun = Seconds([&] {
        aggiorna(archive.c_str(), (dir.Narrow() + "tmp").c_str(), (dir.Narrow() + "apps\\BENCH").c_str(), 1);
    });
    double readAll = Seconds([&] {
        std::vector<ListedFile> files;
        ListFiles(dir.Narrow() + "apps\\BENCH\\", "*", true, files);
        for (const ListedFile& file : files)
            ReadBytes(WideFromAnsi(file.first + file.second));
    });

    printf("archive: %zu files, %.1f MB\n", entries.size(), total / 1e6);
    printf("fresh install: aggiorna_files %.2f s, extraction + CopyFileW %.2f s, ratio %.1f, %.1f ms per copied file\n",
           install, floor, install / floor, install * 1000.0 / entries.size());
    printf("re-run up to date: aggiorna_files %.2f s, read of every file %.3f s, ratio %.1f\n", rerun, readAll,
           rerun / readAll);
    return 0;
}
