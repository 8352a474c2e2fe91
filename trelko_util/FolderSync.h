// Bringing a program folder up to date from a zip archive: extract into a
// staging folder, then copy each file only when the destination lacks it,
// holds an older copy, or holds a same-time copy with other content.
#pragma once

#include <string>

/// Copies one file into a folder, keeping attributes and last-write time and
/// overwriting read-only and hidden files.
class FileCopier {
public:
    virtual ~FileCopier() = default;
    /// file and folder are narrow ANSI paths; workingFolder is where the copy runs.
    virtual bool CopyInto(const std::string& file, const std::string& folder, const std::string& workingFolder) = 0;
};

/// Runs the system's xcopy once per file through the shell and checks its exit code.
class XcopyCopier : public FileCopier {
public:
    bool CopyInto(const std::string& file, const std::string& folder, const std::string& workingFolder) override;
};

enum class CopyDecision { Copy, Skip };

/// The copy decision for one extracted file: a target that cannot be opened is
/// copied; otherwise the newer time wins, and at equal times differing
/// fingerprints decide when compareContent is set.
CopyDecision DecideCopy(bool targetReadable, long long sourceMinusTargetSeconds, bool compareContent,
                        bool fingerprintsDiffer);

/// The whole update; false at the first failing step, leaving what was done.
/// An empty staging or destination argument, or a drive root, is refused
/// before anything is touched.
bool UpdateFolderFromArchive(const std::string& archive, const std::string& staging, const std::string& destination,
                             bool compareContent, FileCopier& copier);

/// The staging subfolder an archive is extracted into: staging (with one
/// trailing "\") + the archive's file name without extension.
std::string ExtractionFolderFor(const std::string& archive, const std::string& staging);
