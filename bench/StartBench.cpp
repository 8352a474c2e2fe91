// Start of the launcher to a list filled with 40 programs from a loopback
// server, against the start of the smallest dialog program to its first paint
// (floor) and the start of a program that ends at once (limit).
#include "bench/Report.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <commctrl.h>

#include <algorithm>
#include <map>

using namespace testing_support;

namespace {

double StartAndWait(const std::wstring& argument, bool waitForPaint)
{
    static int run = 0;
    const std::wstring name = L"first_paint_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++run);
    HANDLE painted = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    std::wstring program = BinaryFolder() + L"first_paint.exe";
    std::wstring line = L"\"" + program + L"\" " + (waitForPaint ? name : argument);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    double seconds = Seconds([&] {
        if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return;
        WaitForSingleObject(waitForPaint ? painted : info.hProcess, 30000);
    });
    WaitForSingleObject(info.hProcess, 30000);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    CloseHandle(painted);
    return seconds;
}

double LauncherToFilledList(const std::map<std::string, std::string>& files)
{
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));
    HANDLE process = nullptr;
    double seconds = Seconds([&] {
        process = launcher.Start();
        HWND window = LauncherCopy::WaitMainWindow(process, 30000);
        HWND list = GetDlgItem(window, 1000);
        const DWORD start = GetTickCount();
        while (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) < 40 && GetTickCount() - start < 30000)
            Sleep(5);
    });
    LauncherCopy::Close(process, 10000);
    return seconds;
}

} // namespace

int main()
{
    std::map<std::string, std::string> files;
    std::string index = "[PATHS]\r\nBASE=http://127.0.0.1:9/\r\n";
    for (int i = 0; i < 40; ++i)
        index += "[PROG" + std::to_string(i) + "]\r\nSW_TYPE=0\r\nBUILD_DISP=" + std::to_string(i + 1) +
                 "\r\nTITOLO=Programma " + std::to_string(i) + "\r\n";
    files["/sw_index.dat"] = index;
    files["/sw_repo.dat"] = "[PRINCIPALE]\r\nURL=http://127.0.0.1:9/sw_index.dat\r\n";

    double launcher = 1e30, floor = 1e30, limit = 1e30;
    for (int i = 0; i < 3; ++i) {
        launcher = std::min(launcher, LauncherToFilledList(files));
        floor = std::min(floor, StartAndWait(L"", true));
        limit = std::min(limit, StartAndWait(L"quit", false));
    }
    ReportLine("start to a filled list, 40 programs", launcher, floor, limit);
    return 0;
}
