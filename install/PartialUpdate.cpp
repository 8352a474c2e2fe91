// The partial road of an update: the entries file fetched and checked, the
// entries the copy rule will copy chosen, their records fetched by byte
// ranges and checked, and the small archive of them written for the library.
#include "install/PartialUpdate.h"

#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/Text.h"
#include "trelko_util/CopyDecision.h"
#include "trelko_util/FileServices.h"

#include <windows.h>

#include <zlib.h>

#include <algorithm>
#include <set>

namespace {

// Records closer than this are fetched in one request, gap included: a
// request costs a round trip, 64 KB on a slow line about as much. That holds
// for a server that sends one range per request.
constexpr uint64_t kMergeGap = 64 * 1024;
constexpr size_t kMaxRequests = 16;
// A server that sends several ranges per answer spends about a hundred
// bytes of part headers on each: records closer than that are one range.
constexpr uint64_t kPartGap = 128;
// Ranges in one request: its Range header stays short (about 2 KB), and
// common servers answer this many parts.
constexpr size_t kRangesPerRequest = 100;
// An entries file lists a few hundred bytes per entry; more is no entries file.
constexpr uint64_t kMaxEntriesFile = 16 * 1024 * 1024;
// Fetched records are held in memory until each is checked; more than this
// is cheaper to stream to disk as the whole archive.
constexpr uint64_t kMaxRecordBytes = 64 * 1024 * 1024;

/// Counts what the partial road fetches across its downloads, for the bar
/// and the status text, as the bytes arrive. Until the records to fetch are
/// known the bar counts against the whole archive (so it never runs back),
/// and the status text names no total.
class FetchProgress : public DownloadProgress {
public:
    FetchProgress(InstallHost& host, uint64_t archiveSize) : m_host(host), m_archiveSize(archiveSize) {}
    void Received(uint64_t received, uint64_t) override { Show(m_done + received, false); }
    bool Cancelled() const override { return m_host.Cancelled(); }
    void Plan(uint64_t bytes) { m_planned = bytes; }
    void Finished(uint64_t bytes)
    {
        m_done += bytes;
        Show(m_done, true);
    }
    uint64_t Fetched() const { return m_done; }

private:
    static std::string Kilobytes(uint64_t bytes) { return std::to_string((bytes + 1023) / 1024) + " KB"; }

    void Show(uint64_t bytes, bool always)
    {
        m_host.Received(bytes, m_planned ? m_planned : std::max<uint64_t>(m_archiveSize, bytes));
        // The status line changes at most ten times a second while bytes come.
        const DWORD now = GetTickCount();
        if (!always && m_lastText != 0 && now - m_lastText < 100)
            return;
        m_lastText = now ? now : 1;
        m_host.SetStatusText("Download application... changed files, " + Kilobytes(bytes) +
                             (m_planned ? " of " + Kilobytes(m_planned) : std::string()) + " (archive " +
                             Kilobytes(m_archiveSize) + ")");
    }

    InstallHost& m_host;
    uint64_t m_archiveSize;
    uint64_t m_planned = 0;
    uint64_t m_done = 0;
    DWORD m_lastText = 0;
};

bool FetchEntriesFile(const SoftwareRecord& record, const std::string& path, FetchProgress& progress,
                      ArchiveEntries& entries)
{
    DownloadOptions options;
    options.expectedSha256 = record.entriesSha256;
    options.expectedSize = record.entriesSize;
    options.maxBytes = kMaxEntriesFile;
    options.deadlineMs = ArchiveDeadlineMs(record.entriesSize);
    options.progress = &progress;
    options.sendTwice = false; // no answer: the whole archive at once
    const std::wstring file = WideFromUtf8(path);
    std::string text;
    const bool ok = DownloadToFile(EntriesAddressFor(record.downloadAddress), path, options) &&
                    ReadFileBytes(file, text) && ParseEntriesFile(text, entries);
    DeleteFileW(file.c_str());
    if (ok)
        progress.Finished(text.size());
    return ok;
}

/// Every entry name of the archives synchronised before this one.
bool NamesIn(const std::vector<std::string>& archives, std::vector<std::wstring>& names)
{
    for (const std::string& archive : archives) {
        std::vector<EntryRecord> records;
        if (!ListEntryRecords(WideFromUtf8(archive), records))
            return false;
        for (const EntryRecord& entry : records)
            names.push_back(WindowsName(entry.name));
    }
    return true;
}

} // namespace

std::vector<ByteRange> PlanRequests(std::vector<ByteRange> records, uint64_t mergeGap, size_t maxRequests)
{
    std::sort(records.begin(), records.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    std::vector<ByteRange> requests;
    for (const ByteRange& record : records) {
        if (!requests.empty() && record.first <= requests.back().last + 1 + mergeGap)
            requests.back().last = std::max(requests.back().last, record.last);
        else
            requests.push_back(record);
    }
    const size_t most = std::max<size_t>(maxRequests, 1);
    if (requests.size() <= most)
        return requests;
    // Too many: the smallest gaps are closed (the first of equal ones first).
    // Closing a gap leaves the others as they were, so they are chosen at once.
    std::vector<size_t> gaps(requests.size() - 1);
    for (size_t i = 0; i < gaps.size(); ++i)
        gaps[i] = i + 1; // the gap before requests[i + 1]
    auto gapBefore = [&requests](size_t i) { return requests[i].first - requests[i - 1].last; };
    std::sort(gaps.begin(), gaps.end(), [&gapBefore](size_t a, size_t b) {
        return gapBefore(a) != gapBefore(b) ? gapBefore(a) < gapBefore(b) : a < b;
    });
    std::vector<bool> closed(requests.size(), false);
    for (size_t k = 0; k < requests.size() - most; ++k)
        closed[gaps[k]] = true;
    std::vector<ByteRange> joined;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (closed[i])
            joined.back().last = std::max(joined.back().last, requests[i].last);
        else
            joined.push_back(requests[i]);
    }
    return joined;
}

uint64_t RequestedBytes(const std::vector<ByteRange>& requests)
{
    uint64_t bytes = 0;
    for (const ByteRange& request : requests)
        bytes += request.last - request.first + 1;
    return bytes;
}

bool PartialFetchPays(uint64_t requested, uint64_t entriesFileSize, uint64_t archiveSize)
{
    return requested + entriesFileSize <= archiveSize / 2;
}

std::vector<size_t> EntriesToCopy(const ArchiveEntries& entries, const std::wstring& folder,
                                  const std::vector<std::wstring>& alsoCopy, bool& whole)
{
    whole = false;
    std::set<std::wstring> also;
    for (const std::wstring& name : alsoCopy)
        also.insert(FoldedFileName(name));
    std::set<std::wstring> seen;
    std::vector<size_t> chosen;
    for (size_t i = 0; i < entries.entries.size(); ++i) {
        const ArchiveEntry& entry = entries.entries[i];
        const std::wstring name = WindowsName(entry.name);
        // Extraction writes the later of two entries for one file: which one
        // the library copies cannot be told entry by entry.
        if (!seen.insert(FoldedFileName(name)).second) {
            whole = true;
            return {};
        }
        if (entry.folder || IsNeverInstalledName(name))
            continue;
        if (also.count(FoldedFileName(name)) ||
            DecideEntryCopy(entry.dosDate, entry.crc, entry.uncompressedSize, folder + L"\\" + name, true) ==
                CopyDecision::Copy)
            chosen.push_back(i);
    }
    return chosen;
}

namespace {

/// The CRC-32 of a file, read in large blocks and computed by zlib's
/// word-at-a-time code: a whole folder is checked, and a byte at a time
/// costs several times the reading.
bool FileCrcOf(const std::wstring& path, uint32_t& value)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> block(256 * 1024);
    value = 0;
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        value = static_cast<uint32_t>(crc32(value, reinterpret_cast<const Bytef*>(block.data()), got));
    }
    CloseHandle(file);
    return ok;
}

} // namespace

bool FolderHoldsEntries(const ArchiveEntries& entries, const std::wstring& folder)
{
    for (const ArchiveEntry& entry : entries.entries) {
        const std::wstring name = WindowsName(entry.name);
        if (entry.folder || IsNeverInstalledName(name))
            continue;
        const std::wstring path = folder + L"\\" + name;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
        uint32_t value = 0;
        if (((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) != entry.uncompressedSize ||
            !FileCrcOf(path, value) || value != entry.crc) {
            // A file newer than its entry stays whichever archive the library is given.
            if (DecideEntryCopy(entry.dosDate, entry.crc, entry.uncompressedSize, path, true) == CopyDecision::Copy)
                return false;
        }
    }
    return true;
}

namespace {

/// The byte ranges that fetch the records, in requests of several ranges
/// each: neighbours closer than a part's headers are one range, and while
/// there are more ranges than the requests may carry, the closest are joined.
std::vector<std::vector<ByteRange>> PlanSeveralRanges(const std::vector<ByteRange>& records)
{
    const std::vector<ByteRange> ranges = PlanRequests(records, kPartGap, kMaxRequests * kRangesPerRequest);
    std::vector<std::vector<ByteRange>> requests;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i % kRangesPerRequest == 0)
            requests.emplace_back();
        requests.back().push_back(ranges[i]);
    }
    return requests;
}

/// The plan of a server that sends one range per answer.
std::vector<std::vector<ByteRange>> PlanSingleRanges(const std::vector<ByteRange>& records)
{
    std::vector<std::vector<ByteRange>> requests;
    for (const ByteRange& range : PlanRequests(records, kMergeGap, kMaxRequests))
        requests.push_back({range});
    return requests;
}

uint64_t PlannedBytes(const std::vector<std::vector<ByteRange>>& requests)
{
    uint64_t bytes = 0;
    for (const std::vector<ByteRange>& request : requests)
        bytes += RequestedBytes(request);
    return bytes;
}

/// A fetched range and its bytes.
struct FetchedRange {
    ByteRange range;
    std::string bytes;
};

enum class RangesOutcome { Fetched, OneRangeOnly, Failed };

/// Fetches every request of the plan in turn. The first failure ends it:
/// a range that got no answer is not asked for again.
RangesOutcome FetchPlan(const std::string& url, const std::vector<std::vector<ByteRange>>& requests,
                        FetchProgress& progress, std::vector<FetchedRange>& fetched)
{
    progress.Plan(progress.Fetched() + PlannedBytes(requests));
    for (const std::vector<ByteRange>& request : requests) {
        // A server that trickles ranges gets the time an archive of their size would.
        DownloadOptions options;
        options.progress = &progress;
        options.deadlineMs = ArchiveDeadlineMs(static_cast<int64_t>(RequestedBytes(request)));
        std::vector<std::string> bodies;
        const RangeResult result = FetchRanges(url, request, bodies, options);
        if (result == RangeResult::OneRange && fetched.empty())
            return RangesOutcome::OneRangeOnly;
        if (result != RangeResult::Received)
            return RangesOutcome::Failed;
        uint64_t bytes = 0;
        for (size_t i = 0; i < request.size(); ++i) {
            bytes += bodies[i].size();
            fetched.push_back({request[i], std::move(bodies[i])});
        }
        progress.Finished(bytes);
    }
    std::sort(fetched.begin(), fetched.end(),
              [](const FetchedRange& a, const FetchedRange& b) { return a.range.first < b.range.first; });
    return RangesOutcome::Fetched;
}

/// Bytes first .. first + length - 1 of the archive, from the range that holds them.
bool BytesOf(const std::vector<FetchedRange>& fetched, uint64_t first, uint64_t length, std::string& bytes)
{
    auto after = std::upper_bound(fetched.begin(), fetched.end(), first,
                                  [](uint64_t value, const FetchedRange& range) { return value < range.range.first; });
    if (after == fetched.begin() || length == 0)
        return false;
    const FetchedRange& range = *(after - 1);
    if (first + length - 1 > range.range.last)
        return false;
    bytes = range.bytes.substr(static_cast<size_t>(first - range.range.first), static_cast<size_t>(length));
    return true;
}

bool TryChangedRecords(const SoftwareRecord& record, const std::string& folder,
                       const std::vector<std::string>& earlierArchives, const std::string& archivePath,
                       FetchProgress& progress, ArchiveEntries& entries)
{
    const std::wstring installed = WideFromUtf8(folder);
    if (record.entriesSha256.empty() || record.entriesSize < 0 || record.installedFolder.empty() ||
        !IsFolderPath(installed))
        return false;
    std::vector<std::wstring> earlierNames;
    if (!NamesIn(earlierArchives, earlierNames))
        return false;

    if (!FetchEntriesFile(record, archivePath + ".entries", progress, entries))
        return false;
    // A map of another archive than the one the index describes maps nothing.
    if (record.archiveSize >= 0 && entries.archiveSize != static_cast<uint64_t>(record.archiveSize))
        return false;

    bool whole = false;
    std::vector<size_t> chosen = EntriesToCopy(entries, installed, earlierNames, whole);
    if (whole)
        return false;
    if (chosen.empty()) {
        // Nothing will be copied; the library still wants an archive with an
        // entry, so the smallest file goes, and the copy rule skips it again.
        for (size_t i = 0; i < entries.entries.size(); ++i) {
            const ArchiveEntry& entry = entries.entries[i];
            if (!entry.folder && (chosen.empty() || entry.length < entries.entries[chosen[0]].length))
                chosen.assign(1, i);
        }
        if (chosen.empty())
            return false;
    }
    std::vector<ByteRange> records;
    uint64_t recordsEnd = 0;
    for (const ArchiveEntry& entry : entries.entries)
        recordsEnd = std::max(recordsEnd, entry.offset + entry.length);
    for (size_t i : chosen) {
        const ArchiveEntry& entry = entries.entries[i];
        records.push_back({entry.offset, entry.offset + entry.length - 1});
    }
    // The archive's own central directory comes too: the map must say what
    // it says of every entry, those not fetched included, or a file the map
    // misstates would stay old under the new build.
    if (recordsEnd >= entries.archiveSize)
        return false;
    const ByteRange directory = {recordsEnd, entries.archiveSize - 1};
    records.push_back(directory);
    auto pays = [&](const std::vector<std::vector<ByteRange>>& requests) {
        const uint64_t bytes = PlannedBytes(requests);
        return PartialFetchPays(bytes, static_cast<uint64_t>(record.entriesSize), entries.archiveSize) &&
               bytes <= kMaxRecordBytes;
    };

    std::vector<FetchedRange> fetched;
    std::vector<std::vector<ByteRange>> requests = PlanSeveralRanges(records);
    if (!pays(requests))
        return false;
    RangesOutcome outcome = FetchPlan(record.downloadAddress, requests, progress, fetched);
    if (outcome == RangesOutcome::OneRangeOnly) {
        requests = PlanSingleRanges(records);
        if (!pays(requests))
            return false;
        outcome = FetchPlan(record.downloadAddress, requests, progress, fetched);
    }
    if (outcome != RangesOutcome::Fetched)
        return false;

    std::string tail;
    if (!BytesOf(fetched, directory.first, directory.last - directory.first + 1, tail) ||
        !EntriesMatchCentralDirectory(entries, directory.first, tail))
        return false;
    std::vector<const ArchiveEntry*> taken;
    std::vector<std::string> recordBytes;
    for (size_t i : chosen) {
        const ArchiveEntry& entry = entries.entries[i];
        std::string bytes;
        if (!BytesOf(fetched, entry.offset, entry.length, bytes) || !DigestMatchesHex(Sha256Of(bytes), entry.sha256))
            return false;
        taken.push_back(&entry);
        recordBytes.push_back(std::move(bytes));
    }
    std::string zip;
    return ZipOfRecords(taken, recordBytes, zip) && ReplaceFileContent(WideFromUtf8(archivePath), zip);
}

} // namespace

bool FetchChangedRecords(const SoftwareRecord& record, const std::string& folder,
                         const std::vector<std::string>& earlierArchives, const std::string& archivePath,
                         InstallHost& host, ArchiveEntries* followed)
{
    FetchProgress progress(host, record.archiveSize < 0 ? 0 : static_cast<uint64_t>(record.archiveSize));
    // Whatever goes wrong on this road (memory for the records included), the
    // whole archive is still there to take.
    try {
        ArchiveEntries entries;
        if (TryChangedRecords(record, folder, earlierArchives, archivePath, progress, entries)) {
            if (followed)
                *followed = std::move(entries);
            return true;
        }
    } catch (...) {
    }
    if (progress.Fetched() > 0)
        host.SetStatusText("Download application... ");
    return false;
}
