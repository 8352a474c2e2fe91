// Finding the files shipped with the launcher: beside the program, else in
// its index_deps folder.
#include "environment/ShippedFiles.h"

#include <filesystem>

const wchar_t* const kDepsFolderName = L"index_deps";

std::wstring FindBesideProgram(const std::wstring& programFolder, const std::wstring& fileName)
{
    if (programFolder.empty())
        return std::wstring();
    for (const std::wstring& candidate :
         {programFolder + fileName, programFolder + kDepsFolderName + L"\\" + fileName}) {
        std::error_code error;
        if (std::filesystem::is_regular_file(std::filesystem::path(candidate), error))
            return candidate;
    }
    return std::wstring();
}
