// Start of the launcher to a list filled with 40 programs from a loopback
// server, against the start of the smallest dialog program to its first paint
// (floor) and the start of a program that ends at once (limit). The launcher
// is one copy started again and again, as a user starts it every day: its
// registry keys and data folder exist from the warm-up start on.
//
// Beside it, the launcher's window alone (its template, manifest and themed
// controls, nothing behind them) to its painted, empty list: how much of the
// start is the platform making and drawing that window.
//
// A breakdown line says where the launcher's start goes: from the process's
// creation to WinMain (its instance mutex appears), to its visible window,
// and to the filled list.
#include "bench/Report.h"
#include "launcher/ZeltoIndexApp.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"

#include <commctrl.h>

#include <functional>
#include <map>

using namespace testing_support;

namespace {

constexpr int kPrograms = 40;

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

/// Seconds from the launcher's creation to its WinMain, its window and its filled list.
struct StartPhases {
    Samples winMain, window, filled;
};

/// Starts a program and watches it closely (a poll every millisecond or so:
/// the test support's waits poll every 100 ms, too coarse to time a start)
/// until its list holds rows rows and has painted them.
void StartToFilledList(const std::function<HANDLE()>& startProgram, int rows, StartPhases& phases)
{
    const auto start = std::chrono::steady_clock::now();
    const auto since = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    HANDLE process = startProgram();
    double winMain = -1, window = -1, filled = -1;
    HWND shown = nullptr;
    HWND list = nullptr;
    while (filled < 0 && since() < 30) {
        if (winMain < 0) {
            // The first thing InitInstance does, right after WinMain.
            if (HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName)) {
                winMain = since();
                CloseHandle(mutex);
            }
        }
        if (!shown) {
            shown = VisibleWindowOf(process);
            if (shown) {
                window = since();
                list = GetDlgItem(shown, 1000);
            }
        }
        // Filled means shown: every row is in, and the list has painted them.
        if (list && SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) >= rows && !GetUpdateRect(list, nullptr, FALSE))
            filled = since();
        else if (WaitForSingleObject(process, 1) == WAIT_OBJECT_0)
            break;
    }
    LauncherCopy::Close(process, 10000);
    // A phase not seen before the next one is put at the next one.
    if (window < 0)
        window = filled;
    if (winMain < 0 || winMain > window)
        winMain = window;
    phases.winMain.values.push_back(winMain);
    phases.window.values.push_back(window);
    phases.filled.values.push_back(filled < 0 ? 30 : filled);
}

} // namespace

int main()
{
    std::map<std::string, std::string> files;
    std::string index = "[PATHS]\r\nBASE=http://127.0.0.1:9/\r\n";
    for (int i = 0; i < kPrograms; ++i)
        index += "[PROG" + std::to_string(i) + "]\r\nSW_TYPE=0\r\nBUILD_DISP=" + std::to_string(i + 1) +
                 "\r\nTITOLO=Programma " + std::to_string(i) + "\r\n";
    files["/sw_index.dat"] = index;
    files["/sw_repo.dat"] = "[PRINCIPALE]\r\nURL=http://127.0.0.1:9/sw_index.dat\r\n";
    LoopbackServer server([&files](const HttpRequest& request) { return StaticFiles(files)(request); });
    LauncherCopy launcher;
    launcher.SetCatalogueUrls(server.Url("/sw_index.dat"), server.Url("/sw_repo.dat"));

    const auto startLauncher = [&launcher] { return launcher.Start(); };
    // Started as a user would, from its own folder, like the launcher's copy.
    std::vector<HANDLE> alone;
    const auto startWindowAlone = [&alone] {
        const std::wstring folder = BinaryFolder() + L"window_alone\\";
        std::wstring program = folder + L"MorvIndex.exe";
        std::wstring line = L"\"" + program + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                            &info))
            return HANDLE(nullptr);
        CloseHandle(info.hThread);
        alone.push_back(info.hProcess);
        return info.hProcess;
    };
    StartPhases warmUp, phases, windowAlone;
    StartToFilledList(startLauncher, kPrograms, warmUp);
    StartToFilledList(startWindowAlone, 0, warmUp);
    StartAndWait(L"", true);
    StartAndWait(L"quit", false);
    Samples floor, limit;
    for (int round = 0; round < kRounds; ++round) {
        StartToFilledList(startLauncher, kPrograms, phases);
        StartToFilledList(startWindowAlone, 0, windowAlone);
        floor.values.push_back(StartAndWait(L"", true));
        limit.values.push_back(StartAndWait(L"quit", false));
    }
    for (HANDLE process : alone)
        CloseHandle(process);
    printf("start breakdown, median of %d: to WinMain %s; to the window %s; to the filled list %s\n", kRounds,
           MedianText(phases.winMain, 1e3, "ms").c_str(), MedianText(phases.window, 1e3, "ms").c_str(),
           MedianText(phases.filled, 1e3, "ms").c_str());
    ReportLine("start to a filled list, 40 programs", phases.filled, floor, limit);
    ReportLine("start of the launcher's window alone to its painted list", windowAlone.filled, floor, limit);
    ReportLine("start to a filled list against its window alone", phases.filled, windowAlone.filled, limit);
    return 0;
}
