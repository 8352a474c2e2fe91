#include "framework/WinApp.h"

// The framework's entry: the global application object already exists
// (static construction); InitInstance decides whether a message loop runs.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    CWinApp* app = AfxGetApp();
    if (!app)
        return 1;
    app->m_hInstance = instance;
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}
