// Bringing a program folder up to date from a zip archive: extract into a
// staging folder, then copy each file only when the destination lacks it,
// holds an older copy, or holds a same-time copy with other content.
#pragma once

#include "trelko_util/CopyDecision.h"

#include <string>

/// Copies one file into a folder, keeping attributes and last-write time and
/// overwriting read-only and hidden files.
class FileCopier {
public:
    virtual ~FileCopier() = default;
    /// workingFolder is where the copy runs.
    virtual bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) = 0;
};

/// Runs the system's xcopy once per file through the shell and checks its exit code.
class XcopyCopier : public FileCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override;
};

/// The whole update; false at the first failing step, leaving what was done.
/// Refused before anything is touched: a staging or destination argument that
/// is empty, a drive's root once its "\" is added, a drive without a folder
/// ("X:", "X:name") or a link; an archive the library would not accept
/// (IsAcceptableArchive); an archive whose declared size does not fit the free
/// space of the staging and destination disks. No file is copied unless every
/// file about to be replaced can be replaced now (CanReplaceNow).
bool UpdateFolderFromArchive(const std::wstring& archive, const std::wstring& staging,
                             const std::wstring& destination, bool compareContent, FileCopier& copier);

/// The staging subfolder an archive is extracted into: staging (with one
/// trailing "\") + the archive's file name without extension.
std::wstring ExtractionFolderFor(const std::wstring& archive, const std::wstring& staging);
