// A launcher build that never proves itself and never ends either: it has
// the launcher's version resource and width but waits for ever, as a build
// stuck at start.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    Sleep(INFINITE);
    return 0;
}
