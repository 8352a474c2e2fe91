// The download road: each attempt streams the body into "<path>.part",
// hashing it on the way, and replaces the file only once whole and checked;
// a broken attempt leaves its bytes for the next to resume from.
#include "net/Download.h"

#include "net/BackgroundSha256.h"
#include "net/HttpHeaders.h"
#include "net/InternetHandle.h"
#include "net/TransferWatch.h"
#include "store/AtomicFile.h"
#include "store/Text.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace {

constexpr uint64_t kMinimumFileSize = 10;
const wchar_t kPartSuffix[] = L".part";

} // namespace

unsigned long long ArchiveDeadlineMs(int64_t size)
{
    if (size < 0)
        return 0;
    // No archive needs more than 30 days; an absurd SIZE must not overflow the clock.
    constexpr uint64_t kLongestMs = 30ull * 24 * 3600 * 1000;
    const uint64_t seconds = static_cast<uint64_t>(size) / kArchiveFloorBytesPerSecond;
    if (seconds >= kLongestMs / 1000)
        return kLongestMs;
    return std::min<uint64_t>(kLongestMs, kArchiveGraceMs + seconds * 1000 +
                                              static_cast<uint64_t>(size) % kArchiveFloorBytesPerSecond * 1000 /
                                                  kArchiveFloorBytesPerSecond);
}

ResumeDecision DecideResume(unsigned status, const std::string& contentRange, uint64_t offset, uint64_t knownEnd)
{
    if (status >= 400)
        return ResumeDecision::Fail;
    if (status != 206)
        return ResumeDecision::Restart;
    // Only the rest, up to the end of the body, continues what is kept.
    ContentRange range;
    if (!ParseContentRange(contentRange, range) || range.first != offset ||
        (range.totalKnown && range.last + 1 != range.total) || (knownEnd != 0 && range.last + 1 != knownEnd))
        return ResumeDecision::Fail;
    return offset == 0 ? ResumeDecision::Restart : ResumeDecision::Append;
}

namespace {

/// What one attempt leaves for the next: the body's first bytes in
/// "<path>.part", the version of the body they belong to, and their hash.
struct PartialBody {
    uint64_t kept = 0;
    std::string validator; // ETag or Last-Modified of the answer that sent them
    uint64_t total = 0;    // the whole body's length as that answer gave it, 0 when it did not
    std::unique_ptr<BackgroundSha256> hash;
};

enum class AttemptResult {
    Done,
    Broken, // ended after part of the body: the next attempt may ask for the rest
    Failed,
};

/// Free bytes on the disk that holds path's folder; the largest value when unknown.
uint64_t FreeSpaceFor(const std::wstring& path)
{
    std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
    ULARGE_INTEGER available = {};
    if (folder.empty() || !GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
        return std::numeric_limits<uint64_t>::max();
    return available.QuadPart;
}

/// One GET of url into "<path>.part" and, once whole and checked, over path.
AttemptResult Attempt(const std::string& url, const std::wstring& file, const DownloadOptions& options,
                      PartialBody& partial)
{
    HttpTransfer transfer(url, options.stallWindowMs);
    TransferWatch watch(transfer, options);
    // A break before the answer keeps what earlier attempts left.
    auto broken = [&watch] { return watch.Cancelled() ? AttemptResult::Failed : AttemptResult::Broken; };

    const bool resuming = partial.kept > 0 && !partial.validator.empty();
    std::string rangeHeaders;
    if (resuming)
        rangeHeaders = "Range: bytes=" + std::to_string(partial.kept) + "-\r\nIf-Range: " + partial.validator + "\r\n";
    DWORD status = 0;
    if (!transfer.Send(status, rangeHeaders, options.sendTwice))
        return broken();
    // An error page is no download: the file keeps what it had.
    const std::string contentRange = transfer.Header(HTTP_QUERY_CONTENT_RANGE);
    const ResumeDecision decision =
        DecideResume(status, contentRange, resuming ? partial.kept : 0, resuming ? partial.total : 0);
    if (decision == ResumeDecision::Fail)
        return AttemptResult::Failed;

    const bool append = decision == ResumeDecision::Append;
    if (!append) {
        partial.kept = 0;
        partial.total = 0;
        partial.hash.reset();
    }
    const uint64_t offset = partial.kept;
    std::string validator = transfer.Header(HTTP_QUERY_ETAG);
    if (validator.empty())
        validator = transfer.Header(HTTP_QUERY_LAST_MODIFIED);
    if (!append)
        partial.validator = validator;

    // The whole body's length, when the server announced it.
    bool lengthKnown = false;
    const uint64_t length = ParseLength(transfer.Header(HTTP_QUERY_CONTENT_LENGTH), lengthKnown);
    // Chunks break the HTTP/1.0 the request asked for, and WinINet would end
    // them at a cut as at their last one: such a body cannot be known whole.
    if (!transfer.Header(HTTP_QUERY_TRANSFER_ENCODING).empty())
        return AttemptResult::Failed;
    bool totalKnown = lengthKnown;
    uint64_t total = totalKnown ? offset + length : 0;
    // A part ends where its Content-Range says, whatever framing it comes
    // in: a length that disagrees, or a body that stops short, is no whole file.
    ContentRange range;
    if (status == 206 && ParseContentRange(contentRange, range)) {
        if (lengthKnown && offset + length != range.last + 1)
            return AttemptResult::Failed;
        totalKnown = true;
        total = range.last + 1;
    }
    if (!append && totalKnown)
        partial.total = total;

    const uint64_t limit =
        options.maxBytes ? options.maxBytes : FreeSpaceFor(file) + (append ? partial.kept : 0);
    const bool sized = options.expectedSize >= 0;
    const uint64_t expected = sized ? static_cast<uint64_t>(options.expectedSize) : 0;
    // A body over its limit is left unread: closing the request would
    // otherwise read the rest to keep the connection.
    auto overLimit = [&] {
        if (options.overLimit)
            *options.overLimit = true;
        transfer.Abandon();
    };
    if (totalKnown && total > limit && options.maxBytes) {
        overLimit();
        return AttemptResult::Failed;
    }
    if (totalKnown && (total > limit || (sized && total != expected))) {
        transfer.Abandon();
        return AttemptResult::Failed;
    }

    AtomicFileWriter writer(file, kPartSuffix);
    if (!(append ? writer.OpenToAppend(partial.kept) : writer.Open()))
        return AttemptResult::Failed;
    const bool hashing = !options.expectedSha256.empty();
    if (hashing && !partial.hash)
        partial.hash.reset(new BackgroundSha256);

    // What has been written and hashed stays for a later attempt when the
    // transfer breaks; anything else the attempt ends with removes it.
    auto keep = [&] {
        partial.kept = writer.Size();
        writer.Keep();
        if (watch.Cancelled())
            return AttemptResult::Failed;
        return partial.validator.empty() ? AttemptResult::Failed : AttemptResult::Broken;
    };
    auto fail = [&] {
        partial.kept = 0;
        partial.hash.reset();
        writer.Discard();
        return AttemptResult::Failed;
    };

    std::unique_ptr<char[]> buffer(new char[HttpTransfer::kReadSize]);
    char* chunk = buffer.get();
    for (;;) {
        DWORD got = 0;
        if (!transfer.Read(chunk, HttpTransfer::kReadSize, got))
            return keep();
        if (got == 0)
            break;
        if (!watch.Received(got))
            return keep();
        const uint64_t received = writer.Size() + got;
        // A body that passes its limit, its size or the end its answer gave
        // (a part running past its Content-Range) is stopped at once.
        if (received > limit || (sized && received > expected) || (totalKnown && received > total)) {
            if (received > limit && options.maxBytes)
                overLimit();
            return fail();
        }
        if (!writer.Write(chunk, got))
            return fail();
        if (hashing)
            partial.hash->Update(chunk, got);
        if (options.progress) {
            options.progress->Received(received, total);
            if (options.progress->Cancelled())
                return fail();
        }
    }
    transfer.Close();
    if (watch.Cancelled())
        return fail();
    // A body shorter than its Content-Length is a broken transfer; so is one
    // without a length whose end came from the watch's abort.
    if (totalKnown ? writer.Size() < total : watch.Stalled())
        return keep();

    const uint64_t size = writer.Size();
    if ((sized && size != expected) ||
        (hashing && !DigestMatchesHex(partial.hash->Finish(), options.expectedSha256)))
        return fail();
    partial.kept = 0;
    partial.hash.reset();
    if (size < kMinimumFileSize) {
        writer.Discard();
        DeleteFileW(file.c_str());
        return AttemptResult::Failed;
    }
    return writer.Commit() ? AttemptResult::Done : AttemptResult::Failed;
}

bool Download(const std::string& url, const std::string& path, const DownloadOptions& options, int attempts)
{
    const std::wstring file = WideFromUtf8(path);
    if (options.overLimit)
        *options.overLimit = false;
    PartialBody partial;
    bool done = false;
    for (int attempt = 0; attempt < attempts && !done; ++attempt) {
        if (options.progress && options.progress->Cancelled())
            break;
        done = Attempt(url, file, options, partial) == AttemptResult::Done;
        if (options.overLimit && *options.overLimit)
            break;
    }
    DeleteFileW((file + kPartSuffix).c_str());
    return done;
}

} // namespace

bool DownloadToFile(const std::string& url, const std::string& path, const DownloadOptions& options)
{
    // Nothing a server sends may end the program: any failure is a failed download.
    try {
        return Download(url, path, options, 1);
    } catch (...) {
        return false;
    }
}

bool DownloadWithResume(const std::string& url, const std::string& path, const DownloadOptions& options)
{
    try {
        return Download(url, path, options, 2);
    } catch (...) {
        return false;
    }
}
