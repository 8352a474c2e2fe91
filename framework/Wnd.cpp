// Window handles bound to their CWnd by subclassing, messages passed on to
// the original procedure, the message-filter hook that shows a modal loop's
// messages to PreTranslateMessage, and the dialog's procedure and commands.
#include "framework/Wnd.h"

#include "framework/WinApp.h"

#include <commctrl.h>

#include <mutex>
#include <unordered_map>

namespace {

// Each subclassed window's object (null once the object is gone before its
// window) and the procedure the window had before. Kept here rather than in
// window properties or the common controls' subclass chain: Wine reads a
// property from its server, two round trips for every message of the list
// and every cell it draws.
struct Binding {
    CWnd* object;
    WNDPROC previous;
};

struct Bindings {
    std::mutex lock;
    std::unordered_map<HWND, Binding> windows;
};

Bindings& AllBindings()
{
    static Bindings bindings;
    return bindings;
}

Binding FindBinding(HWND window)
{
    Bindings& bindings = AllBindings();
    std::lock_guard<std::mutex> hold(bindings.lock);
    const auto found = bindings.windows.find(window);
    return found == bindings.windows.end() ? Binding{nullptr, nullptr} : found->second;
}

} // namespace

CWnd::~CWnd() { Unbind(); }

void CWnd::Unbind()
{
    if (!m_subclassed)
        return;
    m_subclassed = false;
    Bindings& bindings = AllBindings();
    std::lock_guard<std::mutex> hold(bindings.lock);
    const auto found = bindings.windows.find(m_hWnd);
    if (found == bindings.windows.end() || found->second.object != this)
        return;
    // The window goes back to its own procedure unless another subclassed it
    // after this object; then its messages pass through to the previous one.
    if (IsWindow(m_hWnd) &&
        GetWindowLongPtrW(m_hWnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)) {
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(found->second.previous));
        bindings.windows.erase(found);
    } else {
        found->second.object = nullptr;
    }
}

bool CWnd::SubclassDlgItem(int id, HWND parent)
{
    // A window this object watched before is let go first.
    Unbind();
    m_hWnd = GetDlgItem(parent, id);
    m_previousProc = nullptr;
    if (!m_hWnd)
        return false;
    Bindings& bindings = AllBindings();
    {
        // A window bound already changes its object only: its procedure
        // stays, and the chain never leads back to itself.
        std::lock_guard<std::mutex> hold(bindings.lock);
        const auto found = bindings.windows.find(m_hWnd);
        if (found != bindings.windows.end()) {
            found->second.object = this;
            m_previousProc = found->second.previous;
        }
    }
    if (!m_previousProc) {
        // The window's messages come on this thread only: none arrives
        // between the new procedure and the binding that serves it.
        const auto previous = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
        if (!previous)
            return false;
        std::lock_guard<std::mutex> hold(bindings.lock);
        bindings.windows[m_hWnd] = Binding{this, previous};
        m_previousProc = previous;
    }
    m_subclassed = true;
    PreSubclassWindow();
    return true;
}

CWnd* CWnd::FromHandlePermanent(HWND window)
{
    return window ? FindBinding(window).object : nullptr;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return Default(message, wParam, lParam); }

bool CWnd::OnReflectedNotify(NMHDR*, LRESULT&) { return false; }

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam)
{
    return m_subclassed ? CallWindowProcW(m_previousProc, m_hWnd, message, wParam, lParam)
                        : DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const Binding binding = FindBinding(window);
    if (!binding.previous)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        {
            Bindings& bindings = AllBindings();
            std::lock_guard<std::mutex> hold(bindings.lock);
            bindings.windows.erase(window);
        }
        if (binding.object)
            binding.object->m_subclassed = false;
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(binding.previous));
        return CallWindowProcW(binding.previous, window, message, wParam, lParam);
    }
    if (!binding.object)
        return CallWindowProcW(binding.previous, window, message, wParam, lParam);
    return binding.object->WindowProc(message, wParam, lParam);
}

std::wstring CWnd::GetWindowTextW() const
{
    int length = ::GetWindowTextLengthW(m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = ::GetWindowTextW(m_hWnd, &text[0], length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

bool CWnd::PreTranslateFor(MSG* msg)
{
    for (HWND window = msg->hwnd; window; window = GetParent(window)) {
        CWnd* object = FromHandlePermanent(window);
        if (object && object->PreTranslateMessage(msg))
            return true;
    }
    return false;
}

namespace {

// The modal loop of DialogBoxParam is the system's own: its messages reach
// PreTranslateMessage through a message-filter hook, one per thread for as
// long as any modal dialog of the thread runs.
thread_local HHOOK t_filterHook = nullptr;
thread_local int t_modalDepth = 0;

LRESULT CALLBACK MessageFilter(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == MSGF_DIALOGBOX && CWnd::PreTranslateFor(reinterpret_cast<MSG*>(lParam)))
        return 1;
    return CallNextHookEx(t_filterHook, code, wParam, lParam);
}

} // namespace

INT_PTR CDialogEx::DoModal()
{
    if (t_modalDepth++ == 0)
        t_filterHook = SetWindowsHookExW(WH_MSGFILTER, MessageFilter, nullptr, GetCurrentThreadId());
    HWND owner = m_parent ? m_parent->m_hWnd : nullptr;
    INT_PTR result = DialogBoxParamW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(m_templateId), owner,
                                     &CDialogEx::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    if (--t_modalDepth == 0 && t_filterHook) {
        UnhookWindowsHookEx(t_filterHook);
        t_filterHook = nullptr;
    }
    return result;
}

bool CDialogEx::OnCommand(WORD id, WORD /*code*/, HWND /*control*/)
{
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    // Commands the dialog does not handle go on to the application running it.
    CWinApp* target = CommandTarget();
    return target && target->OnCmdMsg(id);
}

CWinApp* CDialogEx::CommandTarget() const
{
    for (const CDialogEx* dialog = this; dialog; dialog = dynamic_cast<const CDialogEx*>(dialog->m_parent))
        if (dialog->m_commandTarget)
            return dialog->m_commandTarget;
    return nullptr;
}

bool CDialogEx::OnMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

INT_PTR CALLBACK CDialogEx::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CDialogEx*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        self->m_hWnd = window;
        return self->OnInitDialog();
    }
    auto* self = reinterpret_cast<CDialogEx*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return FALSE;
    struct Depth {
        CDialogEx* dialog;
        explicit Depth(CDialogEx* d) : dialog(d) { ++dialog->m_messageDepth; }
        ~Depth()
        {
            if (--dialog->m_messageDepth == 0 && dialog->m_hWnd)
                dialog->OnOutermostMessageDone();
        }
    } depth(self);
    if (message == WM_COMMAND &&
        self->OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)))
        return TRUE;
    LRESULT result = 0;
    // Notifications go back to the control that owns the behaviour first.
    if (message == WM_NOTIFY) {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        CWnd* control = FromHandlePermanent(header->hwndFrom);
        if (control && control->OnReflectedNotify(header, result)) {
            SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
    if (self->OnMessage(message, wParam, lParam, result)) {
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
    return FALSE;
}
