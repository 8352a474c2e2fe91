// A small program for the binding tests: binds the synchronisation library as
// the launcher does, loads its export, and writes what it saw into the file
// named by its first argument: PATH, the loaded library's path, the load error,
// its working folder and that argument. Each start also adds the request it
// was given to starts.log in its working folder.
//
// "--cut-copy SOURCE TARGET EVENT" is a copying process for the tests to end
// from outside: it writes the first half of SOURCE to TARGET, sets the named
// event and waits to be ended.
// "--step STAGING FOLDER TAG ARCHIVE..." runs one installation step through
// the library, as the launcher does, and ends with its result.
#include "environment/ProgramIdentity.h"
#include "environment/SyncBinding.h"
#include "store/Text.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int CutCopy(const std::wstring& source, const std::wstring& target, const std::wstring& event)
{
    FILE* in = _wfopen(source.c_str(), L"rb");
    FILE* out = _wfopen(target.c_str(), L"wb");
    if (!in || !out)
        return 4;
    fseek(in, 0, SEEK_END);
    const long half = ftell(in) / 2;
    fseek(in, 0, SEEK_SET);
    for (long i = 0; i < half; ++i)
        fputc(fgetc(in), out);
    fclose(in);
    fclose(out);
    HANDLE written = OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str());
    if (!written)
        return 5;
    SetEvent(written);
    Sleep(INFINITE);
    return 0;
}

int Step(int argc, wchar_t** argv)
{
    std::vector<std::string> archives;
    for (int i = 5; i < argc; ++i)
        archives.push_back(Utf8FromWide(argv[i]));
    volatile long stop = 0;
    return static_cast<int>(
        SynchroniseArchives(archives, Utf8FromWide(argv[2]), Utf8FromWide(argv[3]), false, &stop,
                            Utf8FromWide(argv[4]), nullptr)
            .result);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    if (argc == 5 && std::wstring(argv[1]) == L"--cut-copy")
        return CutCopy(argv[2], argv[3], argv[4]);
    if (argc >= 6 && std::wstring(argv[1]) == L"--step")
        return Step(argc, argv);
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
