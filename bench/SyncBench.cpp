// The folder update from an archive of 300 files through aggiorna_files:
// a fresh install (floor: the extraction plus one bare xcopy process per file,
// as the design copies; limit: the extraction plus an in-process CopyFileW per
// file), and a re-run on the up-to-date folder (floor: the extraction plus the
// two CRC passes that equal times call for; limit: one read of every file).
#include "bench/Report.h"
#include "launcher/SyncBinding.h"
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
    const std::string staging = dir.Narrow() + "tmp";
    const std::string installed = dir.Narrow() + "apps\\BENCH";
    // Extraction into a folder, then work on every extracted file.
    auto extractThen = [&](const std::wstring& into, const std::function<void(const std::wstring&, const std::wstring&)>& each) {
        UnzipArchive(dir / L"BENCH.zip", into);
        std::vector<ListedFile> files;
        const std::wstring root = into + L"\\";
        ListFiles(root, L"*", true, files);
        for (const ListedFile& file : files)
            each(file.first + file.second, file.first.substr(root.size()));
    };

    const double install = Seconds([&] { aggiorna(archive.c_str(), staging.c_str(), installed.c_str(), 1); });
    XcopyCopier xcopy;
    const double installFloor = Seconds([&] {
        extractThen(dir / L"tmp2\\BENCH", [&](const std::wstring& file, const std::wstring& relative) {
            std::wstring target = dir / (L"floor\\" + relative);
            MakeFolderPath(target);
            xcopy.CopyInto(file, target.substr(0, target.size() - 1), dir / L"tmp");
        });
    });
    const double installLimit = Seconds([&] {
        extractThen(dir / L"tmp3\\BENCH", [&](const std::wstring& file, const std::wstring& relative) {
            std::wstring target = dir / (L"limit\\" + relative);
            MakeFolderPath(target);
            CopyFileW(file.c_str(), (target + file.substr(file.find_last_of(L'\\') + 1)).c_str(), FALSE);
        });
    });
    ReportLine("fresh install 300 files", install, installFloor, installLimit);

    const double rerun = BestOf(2, [&] { aggiorna(archive.c_str(), staging.c_str(), installed.c_str(), 1); });
    zelto::ComputeCrc32 crc32;
    const double rerunFloor = BestOf(2, [&] {
        extractThen(dir / L"tmp4\\BENCH", [&](const std::wstring& file, const std::wstring& relative) {
            bool error = false;
            crc32.FileCrc(file, error);
            crc32.FileCrc(WideFromAnsi(installed) + L"\\" + relative + file.substr(file.find_last_of(L'\\') + 1), error);
        });
    });
    const double readAll = BestOf(2, [&] {
        std::vector<ListedFile> files;
        ListFiles(WideFromAnsi(installed) + L"\\", L"*", true, files);
        for (const ListedFile& file : files)
            ReadBytes(file.first + file.second);
    });
    ReportLine("re-run on up-to-date 300 files", rerun, rerunFloor, readAll);
    printf("archive: %zu files, %.1f MB\n", entries.size(), total / 1e6);
    return 0;
}
