// COM initialised for the main dialog's thread, and uninitialised after it.
#include "framework/ShellManager.h"

#include <objbase.h>

CShellManager::CShellManager()
    : m_initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
{
}

CShellManager::~CShellManager()
{
    if (m_initialised)
        CoUninitialize();
}
