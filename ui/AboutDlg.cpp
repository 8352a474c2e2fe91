// The about box's icon, loaded at the DPI of the monitor it is on and again
// when that DPI changes.
#include "ui/AboutDlg.h"

#include "framework/WinApp.h"
#include "resources/resource.h"
#include "ui/Dpi.h"

namespace {
// A large icon, in pixels at 96 DPI.
constexpr int kIconSide = 32;
} // namespace

CAboutDlg::CAboutDlg(CWnd* parent) : CDialogEx(IDD_ABOUTBOX, parent) {}

CAboutDlg::~CAboutDlg()
{
    if (m_icon)
        DestroyIcon(m_icon);
}

void CAboutDlg::SetIcon(UINT dpi)
{
    const int side = ScaleForDpi(kIconSide, dpi);
    auto icon = static_cast<HICON>(
        LoadImageW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, side, side, 0));
    if (!icon)
        return;
    SendDlgItemMessageW(m_hWnd, IDC_ABOUT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    if (m_icon)
        DestroyIcon(m_icon);
    m_icon = icon;
}

BOOL CAboutDlg::OnInitDialog()
{
    // The template's icon control loads the icon at the system's DPI; a window
    // on a monitor of another DPI has its own.
    SetIcon(WindowDpi(m_hWnd));
    return TRUE;
}

bool CAboutDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT&)
{
    if (message == WM_DPICHANGED)
        SetIcon(LOWORD(wParam));
    return false;
}
