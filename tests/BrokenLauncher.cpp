// A launcher build that never proves itself: it has the launcher's version
// resource and width but ends at once, as a build that crashes at start.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 3; }
