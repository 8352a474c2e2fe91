// The application layer of the thin window framework: one global application
// object whose InitInstance is driven from wWinMain, its message map, the
// command-line parser, the module path and string-table texts, and the
// run-time class root used by small registration classes.
#pragma once

#include <windows.h>

#include <string>

class CWnd;
class CDialogEx;

/// Root of classes that carry run-time class information.
class CObject {
public:
    virtual ~CObject() = default;
    /// Name of the object's run-time class.
    virtual const char* GetRuntimeClassName() const { return "CObject"; }
};

/// Receives the command line one parameter at a time; keeps the first
/// parameter that is not a flag as the file name.
class CCommandLineInfo {
public:
    virtual ~CCommandLineInfo() = default;
    virtual void ParseParam(const wchar_t* param, bool isFlag, bool isLast);

    std::wstring m_strFileName;
};

class CWinApp {
public:
    explicit CWinApp(const wchar_t* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    /// Returns true to enter the application's message loop, false to end.
    virtual BOOL InitInstance() { return TRUE; }
    virtual int Run();
    virtual int ExitInstance() { return 0; }

    /// Runs dialog modally as the main window, its unhandled commands going
    /// to this application; returns what DoModal returned.
    INT_PTR RunModal(CDialogEx& dialog);

    /// Splits the process's command line and hands each parameter to info.
    void ParseCommandLine(CCommandLineInfo& info);

    /// A command that no window handled: looked up in the message map.
    /// True when an entry handled it.
    bool OnCmdMsg(UINT id);
    /// Help for the program (ID_HELP). The launcher ships no help file, so
    /// the default shows nothing.
    virtual void OnHelp() {}

    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;

protected:
    /// One command of the message map: its id and the member that handles it.
    struct CommandEntry {
        UINT id;
        void (CWinApp::*handler)();
    };
    /// The application's message map; none by default.
    virtual const CommandEntry* MessageMap(size_t& count) const
    {
        count = 0;
        return nullptr;
    }
};

/// The command id of help requests.
constexpr UINT ID_HELP = 0xE146;

/// Runs app as the program: InitInstance, then the message loop when it
/// asks for one. The program's entry point calls it with its one application object.
int AfxWinMain(CWinApp& app, HINSTANCE instance);
HINSTANCE AfxGetInstanceHandle();
/// Text of string-table entry id of the program ("" when there is none).
std::wstring AfxLoadString(UINT id);

/// Full path of a module of the process (null: the executable), however long.
/// Empty when it cannot be read.
std::wstring ModuleFilePath(HMODULE module);

/// Splits a command line into parameters and feeds them to info; a parameter
/// starting with "/" or "-" is a flag and is passed without that character.
/// When the line begins with programPath unquoted, that whole path is the
/// program's name, whatever spaces it holds, and the rest of the line after
/// it is one parameter as it stands (an unquoted %1 of a registration),
/// unless that rest starts with a quote or a flag.
void ParseCommandLineText(const wchar_t* commandLine, CCommandLineInfo& info,
                          const std::wstring& programPath = std::wstring());
