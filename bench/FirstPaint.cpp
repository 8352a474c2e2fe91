// The smallest dialog program, for the start benchmark: it signals the event
// named on its command line at its first paint and ends. With "quit" instead
// it ends at once, without a window.
#include <windows.h>

#include <string>

namespace {

HANDLE g_painted = nullptr;

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        BeginPaint(dialog, &paint);
        EndPaint(dialog, &paint);
        SetEvent(g_painted);
        EndDialog(dialog, 0);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    std::wstring argument = commandLine;
    if (argument == L"quit")
        return 0;
    g_painted = OpenEventW(EVENT_MODIFY_STATE, FALSE, argument.c_str());
    // A template in memory: one visible dialog, no controls.
    struct {
        DLGTEMPLATE header;
        WORD menu, windowClass, title;
    } dialog = {};
    dialog.header.style = WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_MODALFRAME;
    dialog.header.cx = 200;
    dialog.header.cy = 100;
    DialogBoxIndirectParamW(instance, &dialog.header, nullptr, DialogProc, 0);
    return 0;
}
