// The rules that decide whether an update copies a file. The copy decision:
// the library applies it to each extracted file, and the launcher to each
// archive entry before fetching, so that it asks the server only for what
// will be copied. Two steps apart from it that only the library takes (a copy
// cut short, a repair), and the check every copy must pass to stand.
#pragma once

#include <cstdint>
#include <string>

enum class CopyDecision { Copy, Skip };

/// The copy decision for one file of an archive: a target that cannot be
/// opened is copied; otherwise the newer time wins, and at equal times
/// differing fingerprints decide when compareContent is set.
CopyDecision DecideCopy(bool targetReadable, long long sourceMinusTargetSeconds, bool compareContent,
                        bool fingerprintsDiffer);

/// The same decision for an archive entry that is not extracted yet, from
/// what its central record says (DOS date and time, CRC-32, size): the
/// entry's time is taken as extraction will stamp it, and its fingerprint is
/// the one its extracted file will have.
CopyDecision DecideEntryCopy(unsigned long dosDate, uint32_t crc, uint64_t size, const std::wstring& target,
                             bool compareContent);

/// A step apart from the copy decision: a file whose installed size differs
/// from its entry's while the journal of a stopped installation shows it was
/// being copied is copied again, whatever its time says (a cut copy carries
/// the time it was cut, and would otherwise pose as newer for good).
bool CutCopyNeedsRedo(bool beingCopied, unsigned long long installedSize, unsigned long long entrySize);

/// A step apart from the copy decision, taken only when repairing: a file
/// whose installed size or CRC-32 differs from its entry's is copied again,
/// whatever its time says; a missing one is copied too.
bool RepairNeedsCopy(bool targetReadable, unsigned long long installedSize, uint32_t installedCrc,
                     unsigned long long entrySize, uint32_t entryCrc);

/// A copy stands only when the target has exactly its entry's size and
/// CRC-32: a copying process ended from outside may report success.
bool CopyMatchesEntry(const std::wstring& target, unsigned long long entrySize, uint32_t entryCrc);
