// Hand-over of a command line to the running instance through the invocation
// file "invoke.morvindex" in the data folder.
#pragma once

#include <string>

/// The invocation file's bytes for a protocol request such as
/// "morvindex:sw_code=Abc&x=1": one KEY=value line (key upper-cased) per
/// "&"-separated token that holds a "="; nothing is decoded. Characters are
/// written one byte each; when any lies beyond the 8-bit range, the whole
/// text is written as UTF-8 instead.
std::string ProtocolRequestFileText(const std::wstring& argument);

/// Writes the invocation file target for a command-line argument: a copy of the
/// file it names when it is a path (not "scheme:...", a request, whose text is
/// never looked up on disk) and exists, else the protocol request's lines.
/// File-system errors are swallowed; false tells that nothing was written.
bool WriteInvocationFile(const std::wstring& argument, const std::wstring& target);
