// The range road: one range is one "Range: bytes=a-b" request read into
// memory; several go in one request whose multipart/byteranges answer is
// taken apart by ByterangesReader.
#include "net/RangeRequest.h"

#include "net/Byteranges.h"
#include "net/HttpHeaders.h"
#include "net/InternetHandle.h"
#include "net/TransferWatch.h"

#include <functional>
#include <memory>
#include <utility>

namespace {

// An answer given up before its end is left unread: closing the request
// would otherwise read the rest (a whole archive, or an endless body) on
// this thread to keep the connection.
RangeResult GiveUp(HttpTransfer& transfer, RangeResult result)
{
    transfer.Abandon();
    return result;
}

// Reads an answer's body to its end, block by block: take gets each block
// (false refuses it), and progress is told done() of total after each. False
// when the read fails or stalls, take refuses, or progress cancels; the
// answer is then given up.
bool ReadBody(HttpTransfer& transfer, TransferWatch& watch, const DownloadOptions& options,
              const std::function<bool(const char*, DWORD)>& take, const std::function<uint64_t()>& done,
              uint64_t total)
{
    std::unique_ptr<char[]> buffer(new char[HttpTransfer::kReadSize]);
    for (;;) {
        DWORD got = 0;
        if (!transfer.Read(buffer.get(), HttpTransfer::kReadSize, got))
            return false;
        if (got == 0)
            return true;
        bool refused = !watch.Received(got) || !take(buffer.get(), got);
        if (!refused && options.progress) {
            options.progress->Received(done(), total);
            refused = options.progress->Cancelled();
        }
        if (refused) {
            transfer.Abandon();
            return false;
        }
    }
}

RangeResult FetchOneRange(const std::string& url, uint64_t first, uint64_t last, std::string& body,
                          const DownloadOptions& options)
{
    body.clear();
    HttpTransfer transfer(url, options.stallWindowMs);
    TransferWatch watch(transfer, options);
    DWORD status = 0;
    // A range that got no answer is not asked for again: the whole file is
    // the better road then.
    if (!transfer.Send(status, "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last) + "\r\n",
                       false))
        return RangeResult::Failed;
    if (status == 200)
        return GiveUp(transfer, RangeResult::WholeFile);
    ContentRange range;
    if (status != 206 || !ParseContentRange(transfer.Header(HTTP_QUERY_CONTENT_RANGE), range) ||
        range.first != first || range.last != last || !transfer.Header(HTTP_QUERY_TRANSFER_ENCODING).empty())
        return GiveUp(transfer, RangeResult::Failed);
    const uint64_t length = last - first + 1;
    bool lengthKnown = false;
    if (ParseLength(transfer.Header(HTTP_QUERY_CONTENT_LENGTH), lengthKnown) != length && lengthKnown)
        return GiveUp(transfer, RangeResult::Failed);
    body.reserve(static_cast<size_t>(length));
    const auto take = [&body, length](const char* block, DWORD got) {
        if (body.size() + got > length)
            return false;
        body.append(block, got);
        return true;
    };
    if (!ReadBody(transfer, watch, options, take, [&body] { return static_cast<uint64_t>(body.size()); }, length))
        return RangeResult::Failed;
    return body.size() == length && !watch.Cancelled() ? RangeResult::Received : RangeResult::Failed;
}

RangeResult FetchSeveralRanges(const std::string& url, const std::vector<ByteRange>& ranges,
                               std::vector<std::string>& bodies, const DownloadOptions& options)
{
    bodies.assign(ranges.size(), std::string());
    std::string asked;
    uint64_t rangeBytes = 0;
    for (const ByteRange& range : ranges) {
        asked += (asked.empty() ? "" : ",") + std::to_string(range.first) + "-" + std::to_string(range.last);
        rangeBytes += range.last - range.first + 1;
    }
    HttpTransfer transfer(url, options.stallWindowMs);
    TransferWatch watch(transfer, options);
    DWORD status = 0;
    if (!transfer.Send(status, "Range: bytes=" + asked + "\r\n", false))
        return RangeResult::Failed;
    if (status == 200)
        return GiveUp(transfer, RangeResult::WholeFile);
    if (status != 206 || !transfer.Header(HTTP_QUERY_TRANSFER_ENCODING).empty())
        return GiveUp(transfer, RangeResult::Failed);
    std::string boundary;
    if (!ByterangesBoundary(transfer.Header(HTTP_QUERY_CONTENT_TYPE), boundary)) {
        // A server that answers with one range (the first, or all of them
        // joined) sends no parts: ranges one at a time still work with it.
        ContentRange range;
        const bool oneRange = ParseContentRange(transfer.Header(HTTP_QUERY_CONTENT_RANGE), range);
        return GiveUp(transfer, oneRange ? RangeResult::OneRange : RangeResult::Failed);
    }
    bool lengthKnown = false;
    const uint64_t length = ParseLength(transfer.Header(HTTP_QUERY_CONTENT_LENGTH), lengthKnown);
    ByterangesReader reader(boundary, ranges);
    uint64_t received = 0;
    // The reader bounds what each part may hold beyond its range.
    const auto take = [&](const char* block, DWORD got) {
        received += got;
        return !(lengthKnown && received > length) && reader.Feed(block, got);
    };
    if (!ReadBody(transfer, watch, options, take, [&reader] { return reader.RangeBytes(); }, rangeBytes))
        return RangeResult::Failed;
    if (!reader.Complete() || watch.Cancelled() || (lengthKnown && received != length))
        return RangeResult::Failed;
    bodies = std::move(reader.Bodies());
    return RangeResult::Received;
}

} // namespace

RangeResult FetchRanges(const std::string& url, const std::vector<ByteRange>& ranges,
                        std::vector<std::string>& bodies, const DownloadOptions& options)
{
    try {
        if (ranges.empty())
            return RangeResult::Failed;
        for (size_t i = 0; i < ranges.size(); ++i)
            if (ranges[i].first > ranges[i].last || (i > 0 && ranges[i].first <= ranges[i - 1].last + 1))
                return RangeResult::Failed;
        if (ranges.size() == 1) {
            bodies.assign(1, std::string());
            return FetchOneRange(url, ranges[0].first, ranges[0].last, bodies[0], options);
        }
        return FetchSeveralRanges(url, ranges, bodies, options);
    } catch (...) {
        return RangeResult::Failed;
    }
}

RangeResult FetchRange(const std::string& url, uint64_t first, uint64_t last, std::string& body,
                       const DownloadOptions& options)
{
    try {
        if (first > last)
            return RangeResult::Failed;
        return FetchOneRange(url, first, last, body, options);
    } catch (...) {
        return RangeResult::Failed;
    }
}
