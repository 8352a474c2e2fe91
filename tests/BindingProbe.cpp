// A small program for the binding tests: binds the synchronisation library as
// the launcher does, loads its export, and writes what it saw into the file
// named by its first argument: PATH, the loaded library's path, the load error,
// its working folder and that argument. Each start also adds the request it
// was given to starts.log in its working folder.
#include "launcher/ProgramIdentity.h"
#include "launcher/SyncBinding.h"
#include "store/Text.h"

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    GetProgramName();
    GetProgramName(); // a second call must not prepend the folder again

    std::wstring error;
    AggiornaFilesFn function = LoadAggiornaFiles(error);
    std::wstring loaded;
    HMODULE module = GetModuleHandleW(L"trelko_util_r.dll");
    if (module) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(module, path, MAX_PATH);
        loaded = path;
    }
    wchar_t pathVariable[32768] = {};
    DWORD length = GetEnvironmentVariableW(L"PATH", pathVariable, 32768);

    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);

    // Every start is counted: the request it was given goes to starts.log
    // in the working folder before the report replaces it.
    if (FILE* request = _wfopen(argv[1], L"rb")) {
        char bytes[4096];
        size_t got = fread(bytes, 1, sizeof bytes, request);
        fclose(request);
        if (FILE* log = _wfopen(L"starts.log", L"ab")) {
            fwrite(bytes, 1, got, log);
            fputs("--\n", log);
            fclose(log);
        }
    }

    FILE* out = _wfopen(argv[1], L"wb");
    if (!out)
        return 3;
    fprintf(out, "PATH=%s\nLOADED=%s\nFUNCTION=%d\nERROR=%s\nPATHSET=%d\nCWD=%s\nARG=%s\n",
            Utf8FromWide(pathVariable).c_str(), Utf8FromWide(loaded).c_str(), function ? 1 : 0,
            Utf8FromWide(error).c_str(), length > 0 ? 1 : 0, Utf8FromWide(folder).c_str(),
            Utf8FromWide(argv[1]).c_str());
    fclose(out);
    return 0;
}
