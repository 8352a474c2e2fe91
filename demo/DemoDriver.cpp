// Drives the launcher's window for the demo, as a person would, by control id
// and by the captions of its message boxes, never by pixel positions. One
// command a call; the exit code tells whether it happened (0) or not (1).
//
//   wait-main SECONDS              the main window is shown
//   wait-rows COUNT SECONDS        the list shows that many programs
//   wait-text ID TEXT SECONDS      a control of the main window shows TEXT
//   select NAME                    selects the program's row
//   click ID                       clicks a button or checkbox of the main window
//   command ID                     sends a menu command to the main window
//   answer CAPTION yes|no|ok SECONDS  answers the message box with that caption
//   wait-window PREFIX SECONDS     a top-level window whose title starts with
//                                  PREFIX ("A|B": either); prints its title
//   close-window PREFIX            closes that window and waits for its program
//   web URL                        opens URL as the shell would: the command the
//                                  protocol registration holds, with URL for %1
//   rows                           prints the programs the list shows, one a line
//   check ID                       prints 1 when the checkbox is checked, else 0
#include "store/Text.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

bool WaitFor(double seconds, const std::function<bool()>& condition)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(seconds * 1000)) {
        if (condition())
            return true;
        Sleep(100);
    }
    return condition();
}

struct Search {
    std::wstring title;
    bool prefix;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<Search*>(lParam);
    if (!IsWindowVisible(window))
        return TRUE;
    wchar_t text[256] = {};
    wchar_t className[64] = {};
    GetWindowTextW(window, text, 256);
    GetClassNameW(window, className, 64);
    std::wstring title = text;
    bool match = search->prefix ? title.compare(0, search->title.size(), search->title) == 0 : title == search->title;
    if (match && (!search->className || wcscmp(className, search->className) == 0)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindWindowTitled(const std::wstring& title, bool prefix, const wchar_t* className)
{
    Search search = {title, prefix, className, nullptr};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND MainWindow() { return FindWindowTitled(L"MorvIndex", false, L"#32770"); }

HWND List() { return GetDlgItem(MainWindow(), 1000); }

// A list view takes its item buffers by pointer: in another process they
// must live in that process's memory.
class RemoteItem {
public:
    explicit RemoteItem(HWND list)
    {
        DWORD processId = 0;
        GetWindowThreadProcessId(list, &processId);
        m_process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
        if (m_process)
            m_memory = static_cast<char*>(
                VirtualAllocEx(m_process, nullptr, kSize, MEM_COMMIT, PAGE_READWRITE));
    }
    ~RemoteItem()
    {
        if (m_memory)
            VirtualFreeEx(m_process, m_memory, 0, MEM_RELEASE);
        if (m_process)
            CloseHandle(m_process);
    }
    bool Ok() const { return m_memory != nullptr; }
    std::wstring Text(HWND list, int row, int column)
    {
        LVITEMW item = {};
        item.iSubItem = column;
        item.cchTextMax = 256;
        item.pszText = reinterpret_cast<wchar_t*>(m_memory + sizeof(LVITEMW));
        WriteProcessMemory(m_process, m_memory, &item, sizeof(item), nullptr);
        SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(m_memory));
        wchar_t text[257] = {};
        ReadProcessMemory(m_process, m_memory + sizeof(LVITEMW), text, 256 * sizeof(wchar_t), nullptr);
        return text;
    }
    void Select(HWND list, int row)
    {
        LVITEMW none = {};
        none.stateMask = LVIS_SELECTED;
        WriteProcessMemory(m_process, m_memory, &none, sizeof(none), nullptr);
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(m_memory));
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        WriteProcessMemory(m_process, m_memory, &item, sizeof(item), nullptr);
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(m_memory));
        SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
    }

private:
    static constexpr SIZE_T kSize = sizeof(LVITEMW) + 258 * sizeof(wchar_t);
    HANDLE m_process = nullptr;
    char* m_memory = nullptr;
};

std::vector<std::wstring> ListedPrograms()
{
    std::vector<std::wstring> names;
    HWND list = List();
    RemoteItem item(list);
    if (!list || !item.Ok())
        return names;
    int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row)
        names.push_back(item.Text(list, row, 1));
    return names;
}

std::wstring ControlText(int id)
{
    wchar_t text[512] = {};
    GetWindowTextW(GetDlgItem(MainWindow(), id), text, 512);
    return text;
}

int Answer(const std::wstring& caption, const std::wstring& how, double seconds)
{
    HWND box = nullptr;
    if (!WaitFor(seconds, [&] { return (box = FindWindowTitled(caption, false, L"#32770")) != nullptr; }))
        return 1;
    Sleep(300); // let the box finish drawing for a screenshot taken before
    int id = how == L"yes" ? IDYES : how == L"no" ? IDNO : IDOK;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    return WaitFor(10, [&] { return !IsWindow(box) || !IsWindowVisible(box); }) ? 0 : 1;
}

int OpenAsTheShell(const std::wstring& url)
{
    std::wstring scheme = url.substr(0, url.find(L':'));
    wchar_t command[2048] = {};
    DWORD size = sizeof(command);
    std::wstring key = L"Software\\Classes\\" + scheme + L"\\shell\\open\\command";
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, command, &size) != ERROR_SUCCESS) {
        fwprintf(stderr, L"no command registered for %ls:\n", scheme.c_str());
        return 1;
    }
    std::wstring line = command;
    size_t at = line.find(L"%1");
    if (at != std::wstring::npos)
        line.replace(at, 2, url);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return 1;
    WaitForSingleObject(info.hProcess, 30000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    const std::wstring verb = argv[1];
    auto arg = [&](int i) { return i < argc ? std::wstring(argv[i]) : std::wstring(); };
    auto number = [&](int i) { return i < argc ? _wtof(argv[i]) : 0.0; };

    if (verb == L"wait-main")
        return WaitFor(number(2), [] { return MainWindow() != nullptr; }) ? 0 : 1;
    if (verb == L"wait-rows") {
        int wanted = static_cast<int>(number(2));
        return WaitFor(number(3), [&] { return SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0) == wanted; }) ? 0 : 1;
    }
    if (verb == L"wait-text") {
        int id = static_cast<int>(number(2));
        std::wstring text = arg(3);
        if (WaitFor(number(4), [&] { return ControlText(id) == text; }))
            return 0;
        fwprintf(stderr, L"control %d says \"%ls\"\n", id, ControlText(id).c_str());
        return 1;
    }
    if (verb == L"select") {
        std::vector<std::wstring> names = ListedPrograms();
        for (size_t row = 0; row < names.size(); ++row) {
            if (names[row] == arg(2)) {
                RemoteItem item(List());
                item.Select(List(), static_cast<int>(row));
                return 0;
            }
        }
        return 1;
    }
    if (verb == L"click") {
        HWND button = GetDlgItem(MainWindow(), static_cast<int>(number(2)));
        if (!button || !IsWindowEnabled(button))
            return 1;
        PostMessageW(button, BM_CLICK, 0, 0);
        return 0;
    }
    if (verb == L"command")
        return PostMessageW(MainWindow(), WM_COMMAND, MAKEWPARAM(static_cast<int>(number(2)), 0), 0) ? 0 : 1;
    if (verb == L"answer")
        return Answer(arg(2), arg(3), number(4));
    if (verb == L"wait-window") {
        // PREFIX may list alternatives, "A|B"; the title found is printed.
        std::vector<std::wstring> prefixes;
        std::wstring all = arg(2);
        for (size_t start = 0;;) {
            size_t bar = all.find(L'|', start);
            prefixes.push_back(all.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
            if (bar == std::wstring::npos)
                break;
            start = bar + 1;
        }
        HWND found = nullptr;
        bool seen = WaitFor(number(3), [&] {
            for (const std::wstring& prefix : prefixes)
                if ((found = FindWindowTitled(prefix, true, nullptr)) != nullptr)
                    return true;
            return false;
        });
        if (seen) {
            wchar_t title[256] = {};
            GetWindowTextW(found, title, 256);
            printf("%s\n", Utf8FromWide(title).c_str());
        }
        return seen ? 0 : 1;
    }
    if (verb == L"close-window") {
        // Closes the window and waits for its program to end, so its files
        // can be replaced or deleted afterwards.
        HWND window = FindWindowTitled(arg(2), true, nullptr);
        if (!window)
            return 1;
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
        PostMessageW(window, WM_CLOSE, 0, 0);
        bool ended = process && WaitForSingleObject(process, 20000) == WAIT_OBJECT_0;
        if (process)
            CloseHandle(process);
        return ended ? 0 : 1;
    }
    if (verb == L"about") {
        // Opens the about box from the system menu and prints the build it names.
        if (!PostMessageW(MainWindow(), WM_SYSCOMMAND, 0x0010, 0))
            return 1;
        HWND about = nullptr;
        if (!WaitFor(number(2), [&] {
                return (about = FindWindowTitled(L"Informazioni su MorvIndex", false, L"#32770")) != nullptr;
            }))
            return 1;
        wchar_t text[128] = {};
        GetDlgItemTextW(about, 1022, text, 128);
        printf("%s\n", Utf8FromWide(text).c_str());
        return 0;
    }
    if (verb == L"web")
        return OpenAsTheShell(arg(2));
    if (verb == L"rows") {
        for (const std::wstring& name : ListedPrograms())
            printf("%s\n", Utf8FromWide(name).c_str());
        return 0;
    }
    if (verb == L"check") {
        printf("%d\n", SendMessageW(GetDlgItem(MainWindow(), static_cast<int>(number(2))), BM_GETCHECK, 0, 0) ==
                           BST_CHECKED ? 1 : 0);
        return 0;
    }
    fwprintf(stderr, L"unknown command %ls\n", verb.c_str());
    return 2;
}
