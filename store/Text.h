// Conversions between the launcher's narrow (UTF-8 or ANSI) and wide texts.
#pragma once

#include <string>

std::string Utf8FromWide(const std::wstring& text);
std::wstring WideFromUtf8(const std::string& text);
std::string AnsiFromWide(const std::wstring& text);
std::wstring WideFromAnsi(const std::string& text);

/// A narrow path as the file system should see it: UTF-8 when the bytes are
/// valid UTF-8, otherwise the ANSI code page (the narrow environment's form).
std::wstring WidePath(const std::string& path);

/// Text of a Win32 error code, without the trailing line end.
std::string Win32ErrorText(unsigned long code);
