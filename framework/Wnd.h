// Windows and dialogs of the thin framework: a CWnd wraps a window handle;
// a CDialogEx runs a dialog template and dispatches its messages to virtual
// members through one static dialog procedure.
#pragma once

#include <windows.h>

#include <string>

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    /// Attaches this object to control id of parent (no subclassing).
    void Attach(HWND parent, int id) { m_hWnd = GetDlgItem(parent, id); }
    /// Attaches this object to control id of parent and routes the control's
    /// messages through WindowProc and its parent's notifications through
    /// OnReflectedNotify.
    bool SubclassDlgItem(int id, HWND parent);
    /// The object subclassing window, or null.
    static CWnd* FromHandlePermanent(HWND window);

    /// Messages of a subclassed window; the default passes them on.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    /// A WM_NOTIFY this control sent its parent, handed back to the control.
    /// Return true when handled, with the result in result.
    virtual bool OnReflectedNotify(NMHDR* header, LRESULT& result);
    /// Called once a subclassed window has been attached.
    virtual void PreSubclassWindow() {}
    /// Adjusts the creation parameters of a window this object creates.
    virtual bool PreCreateWindow(CREATESTRUCTW& /*create*/) { return true; }
    /// Sees every message bound for this window, or one of its children,
    /// before it is dispatched (inside a modal dialog's loop); true keeps the
    /// message from being dispatched.
    virtual bool PreTranslateMessage(MSG* /*message*/) { return false; }
    /// Offers msg to the objects of its window and of each parent in turn.
    static bool PreTranslateFor(MSG* msg);

    void SetWindowTextW(const std::wstring& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
    std::wstring GetWindowTextW() const;
    void EnableWindow(bool enable) { ::EnableWindow(m_hWnd, enable ? TRUE : FALSE); }
    void Invalidate(bool erase = true) { ::InvalidateRect(m_hWnd, nullptr, erase ? TRUE : FALSE); }
    LRESULT SendMessageW(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }

    HWND m_hWnd = nullptr;

protected:
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    /// Gives the subclassed window back: its own procedure again, or, when
    /// something subclassed it after this object, its messages passed through.
    void Unbind();
    bool m_subclassed = false;
    WNDPROC m_previousProc = nullptr;
};

class CWinApp;

class CDialogEx : public CWnd {
public:
    explicit CDialogEx(UINT templateId, CWnd* parent = nullptr)
        : m_templateId(templateId), m_parent(parent)
    {
    }

    /// Runs the dialog modally; returns the code given to EndDialog, or -1.
    virtual INT_PTR DoModal();
    /// Where commands go that neither this dialog nor its parents handle
    /// (the application that runs it; CWinApp::RunModal sets it).
    void SetCommandTarget(CWinApp* target) { m_commandTarget = target; }

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    /// Command from a control or menu; return true when handled.
    virtual bool OnCommand(WORD id, WORD code, HWND control);
    /// Any other message; return true when handled, with the result in result.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    void EndDialog(INT_PTR code) { ::EndDialog(m_hWnd, code); }

    /// How many of this dialog's messages are being handled right now: 1
    /// inside a message that came from the message loop, more inside one
    /// sent while another was handled (a paint forced by a redraw, a modal
    /// loop's messages during a command).
    int MessageDepth() const { return m_messageDepth; }
    /// Called when the dialog has handled a message and no other is being
    /// handled any more.
    virtual void OnOutermostMessageDone() {}

    UINT m_templateId;
    CWnd* m_parent;

private:
    /// The command target of this dialog or, failing that, of its parent dialogs.
    CWinApp* CommandTarget() const;

    int m_messageDepth = 0;
    CWinApp* m_commandTarget = nullptr;

    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
