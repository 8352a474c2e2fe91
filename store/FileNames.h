// File names as Windows takes them: whether a name that came from outside (a
// web page's request, the index, an archive) may become one component of a
// path, and when two names are one file.
#pragma once

#include <cstddef>
#include <string>

/// True when name is one plain file name: not empty, at most maxLength bytes,
/// no \ / : * ? " < > | and no control characters, not "." or "..", no
/// trailing dot or space, and not a device name (CON, PRN, AUX, NUL, COM1-9,
/// LPT1-9, in any case, with or without an extension).
bool IsSafeFileName(const std::string& name, size_t maxLength = 64);

/// A name (or path) case-folded as the file system folds it, over all of
/// Unicode ("É.txt" and "é.txt" fold alike): two names are one file exactly
/// when their folded forms are equal.
std::wstring FoldedFileName(const std::wstring& name);
/// The same for a UTF-8 name.
std::string FoldedFileName(const std::string& utf8Name);

/// True when a and b name one file (FoldedFileName equal).
bool SameFileName(const std::wstring& a, const std::wstring& b);

/// Orders names so that a set or map keyed with it holds one entry per file.
struct FileNameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};
