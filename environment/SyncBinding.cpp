// Loading trelko_util_r.dll by full path, and the installation step run
// through its exports.
#include "environment/SyncBinding.h"

#include "environment/ProgramIdentity.h"
#include "environment/ShippedFiles.h"
#include "format/LauncherImage.h"
#include "framework/WinApp.h"
#include "store/AtomicFile.h"
#include "store/Text.h"
#include "trelko_util/InstallJournal.h"

#include <windows.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

bool g_bound = false;

} // namespace

std::string FindSyncLibraryFolder(const std::string& fullProgramPath)
{
    // The folder PATH gets is the one the library is loaded from.
    const std::wstring library = SyncLibraryLoadPath(WideFromUtf8(fullProgramPath));
    return library.empty() ? std::string() : Utf8FromWide(library.substr(0, library.find_last_of(L"\\/")));
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
    return FindBesideProgram(FolderOfPath(fullProgramPath), kLauncherLibraryFile);
}

namespace {

// The library, loaded at the first call and kept for the life of the process.
HMODULE LoadSyncLibrary(std::wstring& error)
{
    static std::once_flag once;
    static HMODULE module = nullptr;
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
            loadError = std::wstring(kLauncherLibraryFile) + L": " + WideFromUtf8(Win32ErrorText(GetLastError()));
            return;
        }
        module = library;
    });
    error = loadError;
    return module;
}

// An export of the library; null with error set when it cannot be had.
void* LoadSyncExport(const char* name, std::wstring& error)
{
    HMODULE module = LoadSyncLibrary(error);
    if (!module)
        return nullptr;
    void* function = reinterpret_cast<void*>(GetProcAddress(module, name));
    if (!function)
        error = std::wstring(kLauncherLibraryFile) + L": " + WideFromUtf8(name) + L": " +
                WideFromUtf8(Win32ErrorText(GetLastError()));
    return function;
}

void __cdecl AnnounceArchive(void* context, int archive)
{
    (*static_cast<const std::function<void(int)>*>(context))(archive);
}

const wchar_t kLibraryMissing[] = L"Impossibile caricare la libreria di installazione.\n";

// A launcher path in the form the library reads; false with error set when it cannot spell it.
bool ToLibraryPath(const std::string& path, std::string& ansi, std::wstring& error)
{
    if (LibraryPath(WideFromUtf8(path), ansi))
        return true;
    error = L"Impossibile installare: la libreria di installazione non pu\u00f2 leggere il percorso\n" +
            WideFromUtf8(path);
    return false;
}

} // namespace

AggiornaFilesFn LoadAggiornaFiles(std::wstring& error)
{
    return reinterpret_cast<AggiornaFilesFn>(LoadSyncExport("aggiorna_files", error));
}

StepOutcome SynchroniseArchives(const std::vector<std::string>& archives, const std::string& staging,
                                const std::string& folder, bool repair, const volatile long* stop,
                                const std::string& tag, const std::function<void(int)>& onArchive)
{
    StepOutcome outcome;
    outcome.result = SyncResult::CopyFailed;
    auto passo = reinterpret_cast<AggiornaPassoFn>(LoadSyncExport("aggiorna_passo", outcome.error));
    if (!passo) {
        outcome.error = kLibraryMissing + outcome.error;
        return outcome;
    }
    // The staging folder must exist for its short form to be found.
    std::error_code ignored;
    fs::create_directories(fs::path(WideFromUtf8(staging)), ignored);
    std::vector<std::string> ansi(archives.size());
    std::vector<const char*> pointers;
    for (size_t i = 0; i < archives.size(); ++i) {
        if (!ToLibraryPath(archives[i], ansi[i], outcome.error))
            return outcome;
        pointers.push_back(ansi[i].c_str());
    }
    std::string ansiStaging, ansiFolder;
    if (!ToLibraryPath(staging, ansiStaging, outcome.error) || !ToLibraryPath(folder, ansiFolder, outcome.error))
        return outcome;
    const int mode = kStepCompareContent | (repair ? kStepRepair : 0);
    outcome.result = static_cast<SyncResult>(passo(pointers.data(), static_cast<int>(pointers.size()),
                                                   ansiStaging.c_str(), ansiFolder.c_str(), mode, stop, tag.c_str(),
                                                   &outcome.failedArchive, onArchive ? AnnounceArchive : nullptr,
                                                   const_cast<std::function<void(int)>*>(&onArchive)));
    return outcome;
}

namespace {

// A cleaner may have removed the staging folder and left the journal beside
// it: the folder is made again so that the library can be given its path.
void StagingForJournal(const std::string& staging)
{
    std::error_code ignored;
    const fs::path folder(WideFromUtf8(staging));
    if (PathExists(folder.wstring() + kUndoFolderSuffix))
        fs::create_directories(folder, ignored);
}

} // namespace

bool ConcludeArchiveStep(const std::string& staging, bool keep)
{
    StagingForJournal(staging);
    std::wstring error;
    auto concludi = reinterpret_cast<ConcludiPassoFn>(LoadSyncExport("concludi_passo", error));
    std::string ansi;
    return concludi && ToLibraryPath(staging, ansi, error) && concludi(ansi.c_str(), keep ? 1 : 0);
}

bool PendingArchiveStep(const std::string& staging, std::string& tag)
{
    tag.clear();
    std::wstring error;
    auto pending = reinterpret_cast<PassoInSospesoFn>(LoadSyncExport("passo_in_sospeso", error));
    std::string ansi;
    StagingForJournal(staging);
    if (!pending || !ToLibraryPath(staging, ansi, error))
        return false;
    char buffer[512] = {};
    if (!pending(ansi.c_str(), buffer, sizeof buffer))
        return false;
    tag = buffer;
    return true;
}
