// A system library loaded from the system folder only, never from the
// program's folder or the current one.
#pragma once

#include <windows.h>

/// How a library is loaded (LoadLibraryExW's shape): the roads below can be
/// tried with the answers each Windows gives.
using LibraryLoader = HMODULE(WINAPI*)(LPCWSTR name, HANDLE file, DWORD flags);

/// Loads the system library name (a bare file name) with
/// LOAD_LIBRARY_SEARCH_SYSTEM32, which keeps the side-by-side redirection a
/// load-time import has. A Windows 7 without the update that brought the flag
/// refuses it (ERROR_INVALID_PARAMETER): the library then comes by its full
/// system path, its own dependencies sought from the system folder first.
/// Null when neither loads.
HMODULE LoadSystemLibrary(const wchar_t* name, LibraryLoader load = LoadLibraryExW);
