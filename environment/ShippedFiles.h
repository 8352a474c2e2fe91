// Where the files shipped with the launcher (the synchronisation library,
// server.dat, the standard pictures) are found: beside the program, else in
// its "index_deps" folder.
#pragma once

#include <string>

/// The folder beside the program that may hold the files shipped with it.
extern const wchar_t* const kDepsFolderName; // L"index_deps"

/// The full path of fileName as Windows' own search finds a library loaded
/// by full path from the program's folder: the program's folder first, then
/// its index_deps folder; "" when neither holds a file of that name.
/// programFolder ends with a separator ("C:\P\"); "" finds nothing, so that
/// no file in the current folder can answer.
std::wstring FindBesideProgram(const std::wstring& programFolder, const std::wstring& fileName);
