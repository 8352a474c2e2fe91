#include "framework/WinApp.h"

#include <shellapi.h>

namespace {
CWinApp* g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetInstanceHandle()
{
    return g_app && g_app->m_hInstance ? g_app->m_hInstance : GetModuleHandleW(nullptr);
}

std::wstring AfxLoadString(UINT id)
{
    const wchar_t* text = nullptr;
    int length = LoadStringW(AfxGetInstanceHandle(), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

void CCommandLineInfo::ParseParam(const wchar_t* param, bool isFlag, bool /*isLast*/)
{
    if (!isFlag && m_strFileName.empty())
        m_strFileName = param;
}

CWinApp::CWinApp(const wchar_t* /*appName*/)
{
    g_app = this;
    m_hInstance = GetModuleHandleW(nullptr);
}

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = nullptr;
}

int CWinApp::Run()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ExitInstance();
}

void CWinApp::ParseCommandLine(CCommandLineInfo& info) { ParseCommandLineText(GetCommandLineW(), info); }

void ParseCommandLineText(const wchar_t* commandLine, CCommandLineInfo& info)
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(commandLine, &count);
    if (!args)
        return;
    // args[0] is the program itself.
    for (int i = 1; i < count; ++i) {
        const wchar_t* param = args[i];
        bool isFlag = param[0] == L'/' || param[0] == L'-';
        info.ParseParam(isFlag ? param + 1 : param, isFlag, i + 1 == count);
    }
    LocalFree(args);
}
