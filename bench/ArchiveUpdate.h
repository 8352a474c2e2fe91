// What the update benches share: a program of 300 files in a 64 MB archive,
// built from seeded random bytes; the loopback server's answer for its
// entries file and byte ranges; its record; and an install host that
// installs nothing and asks nothing.
#pragma once

#include "format/SoftwareRecord.h"
#include "install/Installer.h"
#include "net/Crypto.h"
#include "tests/LoopbackServer.h"
#include "tests/ZipFixture.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

constexpr size_t kFiles = 300;
constexpr size_t kFileSize = 64 * 1024 * 1024 / kFiles;

/// Installs nothing and asks nothing: the road's fetches report here, and the
/// last status text is kept.
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

/// The program's kFiles files, spread over seven folders: file i holds
/// kFileSize random bytes drawn with seed(i), and is dated a day later when
/// newer(i).
template <typename Seed, typename Newer> std::vector<testing_support::ZipEntry> BuildProgram(Seed seed, Newer newer)
{
    std::vector<testing_support::ZipEntry> entries;
    for (size_t i = 0; i < kFiles; ++i) {
        std::mt19937 random(static_cast<unsigned>(seed(i)));
        std::string data(kFileSize, '\0');
        for (char& byte : data)
            byte = static_cast<char>(random());
        const testing_support::DosStamp stamp =
            newer(i) ? testing_support::MakeDos(2024, 6, 2, 8, 0, 0) : testing_support::MakeDos(2024, 6, 1, 8, 0, 0);
        entries.push_back({"dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin", data, stamp});
    }
    return entries;
}

/// The server's answer for APP: its entries file at /APP.zip.entries, the
/// archive's ranges (ETag "b2") at any other address.
inline testing_support::HttpResponse ArchiveAnswer(const testing_support::HttpRequest& request,
                                                   const std::string& entriesFile, const std::string& archive)
{
    if (request.target != "/APP.zip.entries")
        return testing_support::RangeAnswer(request, archive, "\"b2\"");
    testing_support::HttpResponse response;
    response.body = entriesFile;
    return response;
}

/// The record of APP, installed in installed, its archive at url.
inline SoftwareRecord ArchiveRecord(const std::string& url, const std::string& archive,
                                    const std::string& entriesFile, const std::string& installed)
{
    SoftwareRecord record;
    record.name = "APP";
    record.downloadAddress = url;
    record.archiveSha256 = HexOf(Sha256Of(archive));
    record.archiveSize = static_cast<int64_t>(archive.size());
    record.entriesSha256 = HexOf(Sha256Of(entriesFile));
    record.entriesSize = static_cast<int64_t>(entriesFile.size());
    record.installedFolder = installed;
    return record;
}
