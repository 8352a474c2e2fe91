// The programs of the demo catalogue: each archive ships this one program
// under the name of its record. Started by the launcher, it records the start
// (build, working folder, launch file and its contents) in avvii.log in its
// working folder and shows the same in a window, so a screenshot shows what
// the launcher handed over.
#include "store/Text.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::wstring g_report;

std::string ReadAll(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        InflateRect(&area, -12, -12);
        SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        DrawTextW(dc, g_report.c_str(), -1, &area, DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EXPANDTABS);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show)
{
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring path = module;
    std::wstring folderOfExe = path.substr(0, path.find_last_of(L'\\') + 1);
    std::wstring name = path.substr(folderOfExe.size());
    name = name.substr(0, name.rfind(L'.'));
    std::string build = ReadAll(folderOfExe + L"build.txt");
    while (!build.empty() && (build.back() == '\r' || build.back() == '\n'))
        build.pop_back();
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);

    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring launchFile = count > 1 ? args[1] : L"";
    LocalFree(args);
    std::string request = launchFile.empty() ? std::string() : ReadAll(launchFile);

    std::string record = "build=" + build + "\r\nfolder=" + Utf8FromWide(folder) + "\r\nlaunch_file=" +
                         Utf8FromWide(launchFile) + "\r\n" + request + (request.empty() ? "" : "\r\n") + "--\r\n";
    if (FILE* log = _wfopen(L"avvii.log", L"ab")) {
        fwrite(record.data(), 1, record.size(), log);
        fclose(log);
    }

    g_report = name + L", build " + WideFromUtf8(build) + L"\r\n\r\nCartella di lavoro:\r\n" + folder +
               L"\r\n\r\nFile di avvio:\r\n" + (launchFile.empty() ? L"(nessuno)" : launchFile) +
               L"\r\n\r\nContenuto:\r\n" + (request.empty() ? L"(vuoto)" : WideFromUtf8(request));

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = L"MorvIndexDemoProgram";
    RegisterClassW(&windowClass);
    std::wstring title = name + L" (programma dimostrativo)";
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 945, 40, 330,
                                  330, nullptr, nullptr, instance, nullptr);
    ShowWindow(window, show);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
