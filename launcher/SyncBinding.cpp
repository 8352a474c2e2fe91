#include "launcher/SyncBinding.h"

#include "framework/WinApp.h"
#include "store/Text.h"

#include <windows.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

bool g_bound = false;

bool PathPresent(const std::string& path)
{
    std::error_code error;
    fs::file_status status = fs::status(fs::path(WideFromUtf8(path)), error);
    return !error && status.type() != fs::file_type::not_found && status.type() != fs::file_type::none;
}

std::wstring CurrentDirectory()
{
    DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring dir(size, L'\0');
    DWORD got = GetCurrentDirectoryW(size, &dir[0]);
    dir.resize(got);
    return dir;
}

} // namespace

std::string FindSyncLibraryFolder(const std::string& fullProgramPath)
{
    size_t separator = fullProgramPath.find_last_of("\\/");
    std::string folder = separator == std::string::npos ? Utf8FromWide(CurrentDirectory()) + "\\"
                                                        : fullProgramPath.substr(0, separator);
    std::string libraryFolder;
    if (PathPresent(folder + "\\trelko_util_r.dll"))
        libraryFolder = folder;
    if (PathPresent(folder + "\\index_deps\\trelko_util_r.dll"))
        libraryFolder = folder + "\\index_deps";
    return libraryFolder;
}

void BindSyncLibrary(const std::string& fullProgramPath)
{
    if (g_bound)
        return;
    g_bound = true;
    std::string libraryFolder = FindSyncLibraryFolder(fullProgramPath);
    if (libraryFolder.empty())
        return;
    std::wstring oldPath;
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size > 0) {
        oldPath.resize(size);
        DWORD got = GetEnvironmentVariableW(L"PATH", &oldPath[0], size);
        oldPath.resize(got);
    }
    std::wstring newPath = WideFromUtf8(libraryFolder) + L";" + oldPath;
    SetEnvironmentVariableW(L"PATH", newPath.c_str());
    // Keep the runtime's copy of the environment in step, so getenv agrees.
    _wputenv_s(L"PATH", newPath.c_str());
}

std::wstring SyncLibraryLoadPath(const std::wstring& fullProgramPath)
{
    const std::wstring folder = fullProgramPath.substr(0, fullProgramPath.find_last_of(L"\\/") + 1);
    if (!folder.empty()) {
        for (const wchar_t* candidate : {L"trelko_util_r.dll", L"index_deps\\trelko_util_r.dll"}) {
            std::error_code error;
            if (fs::is_regular_file(fs::path(folder + candidate), error))
                return folder + candidate;
        }
    }
    return std::wstring();
}

AggiornaFilesFn LoadAggiornaFiles(std::wstring& error)
{
    static std::once_flag once;
    static AggiornaFilesFn function = nullptr;
    static std::wstring loadError;
    std::call_once(once, [] {
        // The executable's path, read here: the program identity calls the
        // binding (GetProgramName binds the library), never the other way.
        const std::wstring path = SyncLibraryLoadPath(ModuleFilePath(nullptr));
        // Never the bare name: Windows would search the current folder (a
        // document's Downloads folder) and PATH for it.
        HMODULE library = path.empty() ? nullptr : LoadLibraryW(path.c_str());
        if (!library) {
            if (path.empty())
                SetLastError(ERROR_MOD_NOT_FOUND);
            loadError = L"trelko_util_r.dll: " + WideFromUtf8(Win32ErrorText(GetLastError()));
            return;
        }
        function = reinterpret_cast<AggiornaFilesFn>(
            reinterpret_cast<void*>(GetProcAddress(library, "aggiorna_files")));
        if (!function)
            loadError = L"trelko_util_r.dll: aggiorna_files: " + WideFromUtf8(Win32ErrorText(GetLastError()));
    });
    error = loadError;
    return function;
}

bool SynchroniseFolder(const std::string& archive, const std::string& staging, const std::string& folder,
                       std::wstring& error)
{
    error.clear();
    AggiornaFilesFn aggiorna = LoadAggiornaFiles(error);
    if (!aggiorna) {
        error = L"Impossibile caricare la libreria di installazione.\n" + error;
        return false;
    }
    // The staging folder must exist for its short form to be found.
    std::error_code ignored;
    fs::create_directories(fs::path(WideFromUtf8(staging)), ignored);
    std::string ansi[3];
    const std::string* paths[3] = {&archive, &staging, &folder};
    for (int i = 0; i < 3; ++i) {
        if (!LibraryPath(WideFromUtf8(*paths[i]), ansi[i])) {
            error = L"Impossibile installare: la libreria di installazione non pu\u00f2 leggere il percorso\n" +
                    WideFromUtf8(*paths[i]);
            return false;
        }
    }
    return aggiorna(ansi[0].c_str(), ansi[1].c_str(), ansi[2].c_str(), 1);
}
