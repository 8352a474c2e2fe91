// The program's path, folder and name, from the module path.
#include "environment/ProgramIdentity.h"

#include "framework/WinApp.h"
#include "environment/SyncBinding.h"
#include "store/Text.h"

#include <windows.h>

std::wstring GetFullProgramPath() { return ModuleFilePath(nullptr); }

std::wstring ProgramNameFromPath(const std::wstring& fullPath)
{
    size_t slash = fullPath.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? fullPath : fullPath.substr(slash + 1);
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.resize(dot);
    for (wchar_t& c : name)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return name;
}

std::wstring FolderOfPath(const std::wstring& fullPath)
{
    size_t slash = fullPath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : fullPath.substr(0, slash + 1);
}

std::wstring GetProgramName()
{
    std::wstring path = GetFullProgramPath();
    BindSyncLibrary(Utf8FromWide(path));
    return ProgramNameFromPath(path);
}
