// The application object's run (InitInstance, message loop, the modal main
// dialog, the message map), the module path, string-table texts and the
// command-line split.
#include "framework/WinApp.h"

#include "framework/Wnd.h"

#include <shellapi.h>

namespace {
CWinApp* g_app = nullptr;
}

int AfxWinMain(CWinApp& app, HINSTANCE instance)
{
    app.m_hInstance = instance;
    if (!app.InitInstance())
        return app.ExitInstance();
    return app.Run();
}

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

INT_PTR CWinApp::RunModal(CDialogEx& dialog)
{
    m_pMainWnd = &dialog;
    dialog.SetCommandTarget(this);
    INT_PTR result = dialog.DoModal();
    m_pMainWnd = nullptr;
    return result;
}

bool CWinApp::OnCmdMsg(UINT id)
{
    size_t count = 0;
    const CommandEntry* entries = MessageMap(count);
    for (size_t i = 0; i < count; ++i) {
        if (entries[i].id == id) {
            (this->*entries[i].handler)();
            return true;
        }
    }
    return false;
}

std::wstring ModuleFilePath(HMODULE module)
{
    // The path may be longer than MAX_PATH (a deep folder, a \\?\ start):
    // the buffer grows until the whole path fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}

void CWinApp::ParseCommandLine(CCommandLineInfo& info)
{
    ParseCommandLineText(GetCommandLineW(), info, ModuleFilePath(nullptr));
}

void ParseCommandLineText(const wchar_t* commandLine, CCommandLineInfo& info, const std::wstring& programPath)
{
    std::wstring line = commandLine ? commandLine : L"";
    // A command registered with the program's path and %1 unquoted reaches us
    // as that path, spaces and all, followed by the request exactly as the
    // caller gave it: its spaces and quotes belong to the request, so the
    // rest of the line is the one argument. A rest that starts with a quote
    // or a flag was written as separate arguments and is split as usual.
    const size_t n = programPath.size();
    if (n > 0 && line.size() >= n &&
        CompareStringOrdinal(line.c_str(), static_cast<int>(n), programPath.c_str(), static_cast<int>(n), TRUE) ==
            CSTR_EQUAL &&
        (line.size() == n || line[n] == L' ' || line[n] == L'\t')) {
        size_t start = line.find_first_not_of(L" \t", n);
        if (start == std::wstring::npos)
            return;
        const wchar_t first = line[start];
        if (first != L'"' && first != L'/' && first != L'-') {
            info.ParseParam(line.c_str() + start, false, true);
            return;
        }
        line = L"\"" + programPath + L"\"" + line.substr(n);
    }
    if (line.empty())
        return;
    int count = 0;
    wchar_t** args = CommandLineToArgvW(line.c_str(), &count);
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
