// The update that fetches only the changed records of an archive: the
// requests it plans, and an installation over a loopback server that takes
// that road or falls back to the whole archive.
#include "install/Installer.h"
#include "install/PartialUpdate.h"
#include "net/Crypto.h"
#include "store/Text.h"
#include "tests/InstallationFixture.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

using namespace testing_support;
namespace fs = std::filesystem;

TEST(PartialUpdate, RequestsJoinNeighboursStayFewAndTheMapReadsBackExactly)
{
    const std::vector<ByteRange> apart = PlanRequests({{250, 299}, {0, 49}, {100, 199}}, 10, 16);
    ASSERT_EQ(3u, apart.size());
    EXPECT_EQ(0u, apart[0].first);
    EXPECT_EQ(250u, apart[2].first);
    const std::vector<ByteRange> joined = PlanRequests({{250, 299}, {0, 49}, {100, 199}}, 50, 16);
    ASSERT_EQ(1u, joined.size()) << "gaps of 50 bytes are fetched with their neighbours";
    EXPECT_EQ(299u, joined[0].last);
    const std::vector<ByteRange> few = PlanRequests({{0, 9}, {100, 109}, {120, 129}, {1000, 1009}}, 0, 2);
    ASSERT_EQ(2u, few.size()) << "the closest neighbours are joined first";
    EXPECT_EQ(129u, few[0].last);
    EXPECT_EQ(1000u, few[1].first);
    EXPECT_EQ(140u, RequestedBytes(few));
    EXPECT_TRUE(PartialFetchPays(50, 10, 120));
    EXPECT_FALSE(PartialFetchPays(51, 10, 120));

    ArchiveEntries entries;
    entries.archiveSize = 5000;
    ArchiveEntry entry;
    entry.name = "sub dir/Citt\xC3\xA0 v2.txt";
    entry.offset = 100;
    entry.length = 60;
    entry.compressedSize = 20;
    entry.uncompressedSize = 4000000000ull;
    entry.crc = 0x352441C2;
    entry.dosDate = 0x58AF5000;
    entry.sha256 = std::string(64, 'a');
    entries.entries.push_back(entry);
    entry.folder = true;
    entry.name = "sub dir/";
    entry.offset = 200;
    entries.entries.push_back(entry);
    const std::string text = FormatEntriesFile(entries);
    ArchiveEntries back;
    ASSERT_TRUE(ParseEntriesFile(text, back)) << text;
    EXPECT_EQ(text, FormatEntriesFile(back));
    EXPECT_EQ("sub dir/Citt\xC3\xA0 v2.txt", back.entries[0].name);
    EXPECT_EQ(4000000000ull, back.entries[0].uncompressedSize);
    EXPECT_TRUE(back.entries[1].folder);
    auto spoilt = [&text](const std::string& from, const std::string& to) {
        std::string copy = text;
        copy.replace(copy.find(from), from.size(), to);
        ArchiveEntries ignored;
        return ParseEntriesFile(copy, ignored);
    };
    EXPECT_FALSE(spoilt("ENTRIES 1", "ENTRIES 2"));
    EXPECT_FALSE(spoilt("352441c2", "352441C2")) << "hex is written one way";
    EXPECT_FALSE(spoilt("ARCHIVE 5000", "ARCHIVE 150")) << "a record past the archive's end";
    EXPECT_FALSE(spoilt(" v2.txt", " v2\t.txt"));
    EXPECT_FALSE(spoilt("100 60 20", "100 40 20")) << "shorter than its header and data";
    EXPECT_FALSE(spoilt(std::string(64, 'a') + " sub dir/\n", std::string(64, 'a') + " \n"));
    EXPECT_FALSE(spoilt(" sub dir/\n", " sub dir/"));
    // Names are paths below the program's folder; records do not share bytes.
    for (const char* name : {"sub dir/AUX", "../Citt\xC3\xA0.txt", "C:/x.txt", "sub dir//x.txt", "sub dir\\x.txt"})
        EXPECT_FALSE(spoilt("sub dir/Citt\xC3\xA0 v2.txt", name)) << name;
    EXPECT_FALSE(spoilt("200 60 20", "150 60 20")) << "records that overlap";

    // The map says of each entry what the archive's central directory says,
    // its kind included: a file called a folder is neither fetched nor
    // checked, and a folder called a file would become an empty file.
    TempDir dir;
    ASSERT_TRUE(WriteZip(dir / L"kinds.zip", {{"bin", "", MakeDos(2024, 5, 1, 9, 0, 0), true},
                                              {"bin/x.txt", "data of x"},
                                              {"lib/", "", MakeDos(2024, 5, 1, 9, 0, 0), true},
                                              {"y.txt", "data of y"}}));
    ArchiveEntries kinds;
    ASSERT_TRUE(DescribeArchive(dir / L"kinds.zip", kinds));
    ASSERT_EQ(4u, kinds.entries.size());
    const std::string zip = ReadBytes(dir / L"kinds.zip");
    const uint64_t recordsEnd = kinds.entries.back().offset + kinds.entries.back().length;
    const std::string tail = zip.substr(static_cast<size_t>(recordsEnd));
    EXPECT_TRUE(EntriesMatchCentralDirectory(kinds, recordsEnd, tail));
    for (size_t i = 0; i < kinds.entries.size(); ++i) {
        ArchiveEntries misstated = kinds;
        misstated.entries[i].folder = !misstated.entries[i].folder;
        EXPECT_FALSE(EntriesMatchCentralDirectory(misstated, recordsEnd, tail)) << kinds.entries[i].name;
    }
}

namespace {

// Bytes that do not deflate, so that records keep their size.
std::string NoiseBytes(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Every file below folder: the SHA-256 of its bytes and its last-write time.
std::map<std::wstring, std::pair<std::string, uint64_t>> FolderContent(const std::wstring& folder)
{
    std::map<std::wstring, std::pair<std::string, uint64_t>> content;
    for (const auto& item : fs::recursive_directory_iterator(fs::path(folder))) {
        if (!item.is_regular_file())
            continue;
        const FILETIME time = WriteTimeOf(item.path().wstring());
        content[item.path().wstring().substr(folder.size())] = {
            HexOf(Sha256Of(ReadBytes(item.path().wstring()))),
            (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime};
    }
    return content;
}

// Build 1 of a program of six files, and build 2 in which the first
// `changed` files changed and one was added at the end.
std::vector<ZipEntry> ProgramBuild(int build, int changed)
{
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 6; ++i) {
        const bool newer = build == 2 && i < changed;
        char name[16];
        snprintf(name, sizeof name, "f%02d.bin", i);
        entries.push_back({i % 3 == 0 ? std::string("lib/") + name : name, NoiseBytes(48000, i + (newer ? 100 : 0)),
                           newer ? MakeDos(2024, 6, 1, 9, 0, 0) : MakeDos(2024, 5, 1, 9, 0, 0)});
    }
    if (build == 2)
        entries.push_back({"lib/added.txt", "a file of build 2", MakeDos(2024, 6, 1, 9, 0, 0)});
    return entries;
}

} // namespace

// An installed program whose new build changed one file and added one: the
// update asks the server for the entries file and, in one request, those two
// records and the archive's central directory, and the folder ends as the
// whole archive would leave it. A server that sends one range per answer
// gets a request per range. Each way the road can fail takes the whole
// archive and ends the same: an entries file that misstates a file the
// update does not fetch, or a file that changed while the records came.
TEST_F(Installation, UpdateFetchesOnlyTheChangedRecordsOrElseTheWholeArchive)
{
    enum Road { Ranges, NoRanges, TamperedRecord, TamperedEntries, MostChanged, FreshInstall, OneRangeServer,
                StaleEntries, ChangedMeanwhile };
    for (Road road : {Ranges, NoRanges, TamperedRecord, TamperedEntries, MostChanged, FreshInstall, OneRangeServer,
                      StaleEntries, ChangedMeanwhile}) {
        SCOPED_TRACE("road " + std::to_string(road));
        TempDir caseData;
        state.m_dataFolder = caseData.Narrow();
        state.m_dataFolderW = caseData.Path();
        const std::wstring build1 = caseData / L"b1.zip", build2 = caseData / L"b2.zip";
        ASSERT_TRUE(WriteZip(build1, ProgramBuild(1, 0)));
        ASSERT_TRUE(WriteZip(build2, ProgramBuild(2, road == MostChanged ? 4 : 1)));
        ArchiveEntries map;
        ASSERT_TRUE(DescribeArchive(build2, map));
        ArchiveEntries served = map;
        if (road == StaleEntries) {
            // A hand-made re-zip whose entries file still says f01.bin is
            // build 1's, as the folder has it: only the archive knows better.
            ASSERT_TRUE(WriteZip(build2, ProgramBuild(2, 2)));
            ASSERT_TRUE(DescribeArchive(build2, map));
            ASSERT_EQ(map.archiveSize, served.archiveSize);
            for (size_t i = 0; i < map.entries.size(); ++i)
                ASSERT_EQ(map.entries[i].offset, served.entries[i].offset) << "every record where it was";
        }
        const std::string archive = ReadBytes(build2);
        const std::string entriesFile = FormatEntriesFile(served);

        // What the whole archive makes of build 1's folder.
        const std::string installed = caseData.Narrow() + "apps\\ABC";
        const std::string expected = caseData.Narrow() + "expected";
        const std::string wholeStaging = caseData.Narrow() + "t";
        auto wholeUpdate = [&](const char* zip) {
            return UpdateFolderFromArchiveNow(caseData.Narrow() + zip, wholeStaging, expected);
        };
        fs::create_directories(fs::path(caseData / L"apps"));
        ASSERT_TRUE(wholeUpdate("b1.zip"));
        if (road != FreshInstall) { // copies keep their times
            for (const auto& item : fs::recursive_directory_iterator(fs::path(WideFromUtf8(expected)))) {
                const fs::path copy = WideFromUtf8(installed) + item.path().wstring().substr(expected.size());
                fs::create_directories(copy.parent_path());
                if (item.is_regular_file()) {
                    ASSERT_TRUE(CopyFileW(item.path().c_str(), copy.c_str(), TRUE));
                }
            }
        }
        ASSERT_TRUE(wholeUpdate("b2.zip"));

        LoopbackServer site([&](const HttpRequest& request) {
            if (request.target == "/ABC.zip.entries") {
                HttpResponse response;
                response.body = entriesFile;
                if (road == TamperedEntries)
                    response.body[response.body.size() - 2] ^= 1;
                return response;
            }
            HttpRequest asked = request;
            if (road == NoRanges)
                asked.headers.erase("range");
            auto range = asked.headers.find("range");
            if (road == OneRangeServer && range != asked.headers.end())
                range->second = range->second.substr(0, range->second.find(','));
            HttpResponse response = RangeAnswer(asked, archive, "\"b2\"");
            if (road == TamperedRecord && response.status == 206)
                response.body[response.body.size() / 2] ^= 1;
            return response;
        });
        state.m_catalogue.clear();
        SoftwareRecord& abc = Add("ABC", 0, 2);
        abc.downloadAddress = site.Url("/ABC.zip");
        abc.archiveSha256 = HexOf(Sha256Of(archive));
        abc.archiveSize = static_cast<int64_t>(archive.size());
        abc.entriesSha256 = HexOf(Sha256Of(entriesFile));
        abc.entriesSize = static_cast<int64_t>(entriesFile.size());
        if (road != FreshInstall) {
            abc.installedBuild = 1;
            abc.installedFolder = installed;
        }
        host.bytes.clear();
        host.statuses.clear();
        host.notices.clear();
        // A file the update does not fetch changes (same time, same size)
        // once the records are chosen.
        const std::wstring untouched = WideFromUtf8(installed) + L"\\lib\\f03.bin";
        bool changed = false;
        host.onStatus = [&] {
            if (road != ChangedMeanwhile || changed || host.statuses.back().compare(0, 10, "Installing") != 0)
                return;
            changed = true;
            const FILETIME time = WriteTimeOf(untouched);
            std::string bytes = ReadBytes(untouched);
            bytes[100] ^= 1;
            WriteBytes(untouched, bytes);
            HANDLE file = CreateFileW(untouched.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            SetFileTime(file, nullptr, nullptr, &time);
            CloseHandle(file);
        };
        InstallOrUpdate(state, "ABC", host);
        host.onStatus = nullptr;
        EXPECT_TRUE(host.errors.empty()) << (host.errors.empty() ? "" : Utf8FromWide(host.errors[0]));
        EXPECT_TRUE(host.notices.empty()) << (host.notices.empty() ? "" : Utf8FromWide(host.notices[0]));
        EXPECT_EQ("2", state.m_settings.GetValue("ABC", "VERSION"));
        EXPECT_EQ(FolderContent(WideFromUtf8(expected)), FolderContent(WideFromUtf8(installed)));
        std::vector<std::string> log; // what the server was asked for
        for (const HttpRequest& request : site.Requests()) {
            auto range = request.headers.find("range");
            log.push_back(request.target + (range == request.headers.end() ? "" : " " + range->second));
        }
        // The first record, and the added one with the central directory
        // right after it, up to the archive's end.
        const std::string first = std::to_string(map.entries[0].offset) + "-" +
                                  std::to_string(map.entries[0].offset + map.entries[0].length - 1);
        const std::string last = std::to_string(map.entries[6].offset) + "-" + std::to_string(archive.size() - 1);
        const uint64_t fetched = entriesFile.size() + map.entries[0].length + archive.size() - map.entries[6].offset;
        if (road == Ranges || road == OneRangeServer) {
            if (road == Ranges)
                EXPECT_EQ((std::vector<std::string>{"/ABC.zip.entries", "/ABC.zip bytes=" + first + "," + last}), log);
            else
                EXPECT_EQ((std::vector<std::string>{"/ABC.zip.entries", "/ABC.zip bytes=" + first + "," + last,
                                                    "/ABC.zip bytes=" + first, "/ABC.zip bytes=" + last}),
                          log);
            // Besides the bytes asked for, a few hundred of part headers (and
            // the one range a server sends instead of parts, left unread).
            EXPECT_LE(fetched, site.BodyBytesSent());
            EXPECT_GE(fetched + 400 + (road == OneRangeServer ? map.entries[0].length : 0), site.BodyBytesSent());
            ASSERT_FALSE(host.bytes.empty());
            EXPECT_EQ(fetched, host.bytes.back().first) << "the bar counts the bytes fetched";
            for (size_t i = 1; i < host.bytes.size(); ++i)
                EXPECT_LE(host.bytes[i - 1].first * host.bytes[i].second,
                          host.bytes[i].first * host.bytes[i - 1].second)
                    << "the bar never runs back";
            const std::string kilobytes = std::to_string((fetched + 1023) / 1024) + " KB";
            const std::string total = " of " + kilobytes + " (archive " +
                                      std::to_string((archive.size() + 1023) / 1024) + " KB)";
            EXPECT_EQ("Download application... changed files, " + kilobytes + total,
                      host.statuses[host.statuses.size() - 3]);
            // Every status that names the bytes to fetch names all of them.
            for (const std::string& status : host.statuses) {
                if (status.find(" of ") != std::string::npos) {
                    EXPECT_EQ(total, status.substr(status.find(" of "))) << status;
                }
            }
        } else if (road == FreshInstall) {
            EXPECT_EQ(std::vector<std::string>{"/ABC.zip"}, log);
        } else {
            ASSERT_FALSE(log.empty());
            EXPECT_EQ("/ABC.zip", log.back()) << "the whole archive, asked for without a range";
            // A record is checked once every range has come; a folder that
            // is not what the entries file says, once the records are copied.
            const size_t asked = road == TamperedRecord || road == StaleEntries || road == ChangedMeanwhile ? 3u
                                 : road == NoRanges                                                    ? 3u
                                                                                                       : 2u;
            EXPECT_EQ(asked, log.size());
            if (road == ChangedMeanwhile) {
                EXPECT_TRUE(changed);
                ASSERT_LE(2u, host.conclusions.size());
                EXPECT_EQ((std::vector<bool>{false, true}),
                          std::vector<bool>(host.conclusions.end() - 2, host.conclusions.end()))
                    << "the first step is put back";
            }
        }
    }
}
