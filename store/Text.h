// Conversions between the launcher's narrow and wide texts.
//
// The rule for narrow text in the launcher: every std::string holds UTF-8.
// That covers names and values read from data files and the registry (the
// registry form is converted from UTF-16 to UTF-8), window texts after
// conversion, and every path the launcher builds: the data folder and the
// program folder are built from the wide environment and module path, so
// "C:\Users\Niccolò Bàrbaro\AppData\Roaming" is spelt the same way in a path,
// in the registry and on screen. A path becomes wide (WideFromUtf8) right at
// each file-system or shell call.
//
// The ANSI code page appears at one boundary only: the synchronisation
// library takes narrow paths in it (LibraryPath). Data-file bytes are kept as
// read; a request handed over from the command line keeps its own encoding
// rule (see HandOver.h).
#pragma once

#include <string>

std::string Utf8FromWide(const std::wstring& text);
std::wstring WideFromUtf8(const std::string& text);
std::string AnsiFromWide(const std::wstring& text);
std::wstring WideFromAnsi(const std::string& text);

/// The ANSI form of path for the synchronisation library. When the ANSI code
/// page cannot spell the path (a Greek user name on a Western code page), the
/// short 8.3 form of its longest existing part is used. False when neither
/// spells it.
bool LibraryPath(const std::wstring& path, std::string& ansi);

/// Text of a Win32 error code, without the trailing line end.
std::string Win32ErrorText(unsigned long code);
