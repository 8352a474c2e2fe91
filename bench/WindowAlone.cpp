// The launcher's window with nothing behind it, for the start benchmark: its
// main dialog made from the launcher's own template, manifest and
// resources, with the same native, themed controls, but no catalogue, no
// columns, rows or pictures, no worker. What the platform spends to make and
// paint that window, measured beside the launcher's own start.
#include "resource.h"

#include <windows.h>
#include <commctrl.h>

namespace {

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if ((message == WM_COMMAND && LOWORD(wParam) == IDOK) || message == WM_CLOSE) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MORVINDEX_DIALOG), nullptr, DialogProc, 0);
    return 0;
}
