// Replacing a file's whole content so that a reader sees either the old or
// the new file, never half of one.
#pragma once

#include <cstddef>
#include <string>

/// Writes bytes to a sibling temporary file, flushes it and renames it over
/// path; the temporary file is removed on failure. False when path keeps its
/// old content.
bool ReplaceFileContent(const std::wstring& path, const char* data, size_t size);
inline bool ReplaceFileContent(const std::wstring& path, const std::string& bytes)
{
    return ReplaceFileContent(path, bytes.data(), bytes.size());
}
