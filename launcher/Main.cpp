// The launcher's executable: the shared-window slot and the one application object.
#include "launcher/ZeltoIndexApp.h"

// One window handle shared by every process started from this executable file,
// so a second instance can bring the running one's window to the front. Four
// bytes in both builds: Windows keeps window handles to 32 significant bits so
// that 32- and 64-bit programs can pass them to each other (HandleToLong and
// LongToHandle convert without loss).
__attribute__((section(".shr"), shared)) volatile LONG g_sharedWindow = 0;

// The build number comes from the build system (MORVINDEX_BUILD), like the
// version resource beside it.
CZeltoIndexApp theApp(&g_sharedWindow, MORVINDEX_BUILD);

// The global application object already exists (static construction);
// InitInstance decides whether a message loop runs.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return AfxWinMain(theApp, instance); }
