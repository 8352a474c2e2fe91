// The copier the library runs: the system's xcopy, one process per file,
// ended when asked to stop or when it outlasts its size's time.
#include "trelko_util/FileCopier.h"

#include "trelko_util/FileServices.h"

#include <windows.h>

#include <shellapi.h>

unsigned long CopyTimeLimitMs(unsigned long long size, unsigned long baseMs)
{
    const unsigned long long limit = baseMs + size / 1024;
    return limit >= 0xFFFFFFFEULL ? 0xFFFFFFFEUL : static_cast<unsigned long>(limit);
}

bool CopyToolTakesPath(const std::wstring& path) { return path.size() < MAX_PATH; }

bool XcopyCopier::CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder)
{
    std::wstring parameters = L"/k /r /y /v /h \"" + file + L"\" \"" + folder + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = m_tool.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = workingFolder.c_str();
    info.nShow = SW_MINIMIZE;
    if (!ShellExecuteExW(&info) || !info.hProcess)
        return false;
    const unsigned long long size = FileSizeOf(file);
    const ULONGLONG limit = CopyTimeLimitMs(size == ~0ULL ? 0 : size, m_baseLimitMs);
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(info.hProcess, 100) == WAIT_TIMEOUT) {
        if ((m_stop && *m_stop != 0) || GetTickCount64() - start >= limit) {
            // A copy that never ends (a path the tool chokes on, a stalled
            // disk) must not hold the step: the step is rolled back.
            TerminateProcess(info.hProcess, 1);
            WaitForSingleObject(info.hProcess, 10000);
            CloseHandle(info.hProcess);
            return false;
        }
    }
    DWORD exitCode = 1;
    bool ok = GetExitCodeProcess(info.hProcess, &exitCode) && exitCode == 0;
    CloseHandle(info.hProcess);
    return ok;
}
