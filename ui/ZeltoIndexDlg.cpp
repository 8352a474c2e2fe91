#include "ui/ZeltoIndexDlg.h"

#include "framework/WinApp.h"
#include "resources/resource.h"

CZeltoIndexDlg::CZeltoIndexDlg()
    : CDialogEx(IDD_MORVINDEX_DIALOG),
      m_icon(static_cast<HICON>(LoadImageW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0))),
      m_smallIcon(static_cast<HICON>(LoadImageW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), 0)))
{
}

CZeltoIndexDlg::~CZeltoIndexDlg()
{
    if (m_icon)
        DestroyIcon(m_icon);
    if (m_smallIcon)
        DestroyIcon(m_smallIcon);
}

BOOL CZeltoIndexDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
    return TRUE;
}

bool CZeltoIndexDlg::OnMessage(UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/, LRESULT& /*result*/)
{
    if (message == WM_ACTIVATE) {
        if (m_sharedWindow)
            InterlockedExchange(m_sharedWindow, static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_hWnd)));
        return false;
    }
    return false;
}
