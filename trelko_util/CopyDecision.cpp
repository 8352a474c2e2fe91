// The copy rules: the copy decision for extracted files and for entries not
// extracted yet, cut copies, repairs, and the check of a copy.
#include "trelko_util/CopyDecision.h"

#include "trelko_util/Crc32.h"
#include "trelko_util/FileServices.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

CopyDecision DecideCopy(bool targetReadable, long long sourceMinusTargetSeconds, bool compareContent,
                        bool fingerprintsDiffer)
{
    if (!targetReadable || sourceMinusTargetSeconds > 0)
        return CopyDecision::Copy;
    if (sourceMinusTargetSeconds < 0)
        return CopyDecision::Skip; // an installed file newer than the archive's stays
    return compareContent && fingerprintsDiffer ? CopyDecision::Copy : CopyDecision::Skip;
}

CopyDecision DecideEntryCopy(unsigned long dosDate, uint32_t crc, uint64_t size, const std::wstring& target,
                             bool compareContent)
{
    const bool readable = CanOpenForReading(target);
    FILETIME written;
    // An entry whose time cannot be stamped is extracted with the time of
    // its extraction, which is newer than any installed file.
    if (!readable || !EntryWriteTime(dosDate, written))
        return DecideCopy(readable, 1, compareContent, false);
    const std::string digits = LocalTimeDigits(written);
    const long long difference = CompareTimeDigits(digits, LocalWriteTimeDigits(target));
    const bool differ = difference == 0 && compareContent &&
                        FingerprintText(digits, crc, static_cast<unsigned long>(size)) != FileFingerprint(target);
    return DecideCopy(readable, difference, compareContent, differ);
}

bool CutCopyNeedsRedo(bool beingCopied, unsigned long long installedSize, unsigned long long entrySize)
{
    return beingCopied && installedSize != entrySize;
}

bool RepairNeedsCopy(bool targetReadable, unsigned long long installedSize, uint32_t installedCrc,
                     unsigned long long entrySize, uint32_t entryCrc)
{
    return !targetReadable || installedSize != entrySize || installedCrc != entryCrc;
}

bool CopyMatchesEntry(const std::wstring& target, unsigned long long entrySize, uint32_t entryCrc)
{
    if (FileSizeOf(target) != entrySize)
        return false;
    zelto::ComputeCrc32 crc32;
    bool error = false;
    const uint32_t crc = crc32.FileCrc(target, error);
    return !error && crc == entryCrc;
}
