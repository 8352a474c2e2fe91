// The data folder's file names and the tidying of what interrupted
// downloads and writes left there.
#include "environment/DataFolder.h"

#include "store/KeyValueStore.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <windows.h>

#include <filesystem>

const wchar_t* const kInvocationFileName = L"invoke.morvindex";
const char* const kDependencyCacheFolder = "deps\\";
const char* const kProgramArchiveFolder = "apps_cache\\";

std::wstring LaunchFilePath(const std::wstring& dataFolder, const std::string& name)
{
    return dataFolder + WideFromUtf8(UpperAscii(name)) + L"invoke.dat";
}

void RemoveInterruptedTransfers(const std::wstring& dataFolder)
{
    namespace fs = std::filesystem;
    for (const std::wstring& folder :
         {std::wstring(), WideFromUtf8(kDependencyCacheFolder), WideFromUtf8(kProgramArchiveFolder)}) {
        std::error_code error;
        for (fs::directory_iterator it(fs::path(dataFolder + folder), error), end; !error && it != end;
             it.increment(error)) {
            std::error_code kind;
            const std::wstring extension = it->path().extension().wstring();
            // A start request is written by another launcher process, which
            // may be between writing and renaming it this very moment.
            if (SameFileName(it->path().filename().wstring(), std::wstring(kInvocationFileName) + L".tmp"))
                continue;
            if (it->is_regular_file(kind) && (SameFileName(extension, L".part") || SameFileName(extension, L".tmp")))
                DeleteFileW(it->path().c_str());
        }
    }
}
