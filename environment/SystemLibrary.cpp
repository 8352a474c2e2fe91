// System libraries from the system folder: the search flag, else the full path.
#include "environment/SystemLibrary.h"

#include <string>

HMODULE LoadSystemLibrary(const wchar_t* name, LibraryLoader load)
{
    if (HMODULE module = load(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        return module;
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    return load((std::wstring(folder, length) + L"\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
