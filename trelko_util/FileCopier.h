// Copying one file of an installation step into its folder: the copier the
// library runs (the system's xcopy) and the limits it is held to.
#pragma once

#include <string>
#include <utility>

/// Copies one file into a folder, keeping attributes and last-write time and
/// overwriting read-only and hidden files.
class FileCopier {
public:
    virtual ~FileCopier() = default;
    /// workingFolder is where the copy runs.
    virtual bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) = 0;
};

/// How long a copy of size bytes may take before the copying process is
/// ended: base plus one millisecond per KiB (1 MB/s, far below any disk).
unsigned long CopyTimeLimitMs(unsigned long long size, unsigned long baseMs);

/// The time every copy may take besides its bytes: starting the copying
/// process on a loaded machine.
constexpr unsigned long kCopyBaseLimitMs = 60000;

/// True when the copying tool can handle path: xcopy refuses paths of
/// MAX_PATH characters or more (under Wine it hangs on them for good).
bool CopyToolTakesPath(const std::wstring& path);

/// Runs the system's xcopy once per file through the shell and checks its
/// exit code. The wait ends the process by its handle when stop becomes
/// non-zero or the copy outlasts CopyTimeLimitMs of the file's size.
class XcopyCopier : public FileCopier {
public:
    /// tool is the copying program the shell starts: the system's xcopy, or
    /// for a test one that never ends.
    explicit XcopyCopier(const volatile long* stop = nullptr, unsigned long baseLimitMs = kCopyBaseLimitMs,
                         std::wstring tool = L"xcopy")
        : m_stop(stop), m_baseLimitMs(baseLimitMs), m_tool(std::move(tool))
    {
    }
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override;

private:
    const volatile long* m_stop;
    unsigned long m_baseLimitMs;
    std::wstring m_tool;
};
