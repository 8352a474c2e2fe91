// Whether a name that came from outside (a web page's request, the index, an
// archive) may become one component of a path.
#pragma once

#include <cstddef>
#include <string>

/// True when name is one plain file name: not empty, at most maxLength bytes,
/// no \ / : * ? " < > | and no control characters, not "." or "..", no
/// trailing dot or space, and not a device name (CON, PRN, AUX, NUL, COM1-9,
/// LPT1-9, in any case, with or without an extension).
bool IsSafeFileName(const std::string& name, size_t maxLength = 64);
