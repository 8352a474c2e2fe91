// Who this program is: its executable's path, its folder, and the program name
// derived from it, which names the protocol, the file type, the data folder and
// the registry key.
#pragma once

#include <string>

/// Full path of the running executable.
std::wstring GetFullProgramPath();

/// File name of the running executable without extension, ASCII letters lower-cased.
/// The first call in a process also binds the synchronisation library.
std::wstring GetProgramName();

/// The program name for an executable path ("C:\P\Other.EXE" -> "other").
std::wstring ProgramNameFromPath(const std::wstring& fullPath);

/// The folder of a path, with its trailing backslash ("C:\P\a.exe" -> "C:\P\").
std::wstring FolderOfPath(const std::wstring& fullPath);
