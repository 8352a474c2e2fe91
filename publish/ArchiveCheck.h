// What the site check reads of an archive by itself, beside the library's
// own verdict: its entry names, the first entry dated in the future, and why
// the library would refuse it, in words for the maker.
#pragma once

#include <string>
#include <vector>

/// An archive as the check sees it: whether it opened, and its entry names.
struct ArchiveContent {
    bool opened = false;
    std::vector<std::string> entries;
    std::string future; // the first entry dated after now, as extraction dates it
};

/// The entries of the archive at path, as far as it can be read.
ArchiveContent ReadArchiveEntries(const std::wstring& path);

/// Why the library refuses an archive, for the maker.
std::string RefusalReason(const ArchiveContent& content);
