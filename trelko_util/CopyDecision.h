// The one rule that decides whether an update copies a file: the library
// applies it to each extracted file, and the launcher to each archive entry
// before fetching, so that it asks the server only for what will be copied.
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
