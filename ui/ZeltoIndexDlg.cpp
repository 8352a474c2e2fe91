#include "ui/ZeltoIndexDlg.h"

#include "catalogue/Catalogue.h"
#include "framework/WinApp.h"
#include "launcher/ZeltoIndexApp.h"
#include "resources/resource.h"

namespace {

HICON LoadAppIcon(int sizeMetric)
{
    int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(
        LoadImageW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
}

} // namespace

CZeltoIndexDlg::CZeltoIndexDlg()
    : CDialogEx(IDD_MORVINDEX_DIALOG), m_icon(LoadAppIcon(SM_CXICON)), m_smallIcon(LoadAppIcon(SM_CXSMICON))
{
}

CZeltoIndexDlg::~CZeltoIndexDlg()
{
    if (m_catalogueLink)
        m_catalogueLink->Close();
    if (m_icon)
        DestroyIcon(m_icon);
    if (m_smallIcon)
        DestroyIcon(m_smallIcon);
}

void CZeltoIndexDlg::WaitForWorkers(DWORD milliseconds)
{
    if (!m_catalogueLink)
        return;
    m_catalogueLink->Close();
    m_catalogueLink->WaitFinished(milliseconds);
}

BOOL CZeltoIndexDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));

    m_progress.Attach(m_hWnd, IDC_PROGRESS);
    m_status.Attach(m_hWnd, IDC_STATUS);
    m_servers.Attach(m_hWnd, IDC_SERVER);
    m_categories.Attach(m_hWnd, IDC_CATEGORY);

    m_catalogueLink = std::make_shared<CatalogueLink>(m_hWnd);
    StartCatalogueThread(TheApp(), m_catalogueLink);
    return TRUE;
}

void CZeltoIndexDlg::OnPaint()
{
    PAINTSTRUCT paint;
    BeginPaint(m_hWnd, &paint);
    EndPaint(m_hWnd, &paint);
    RunPendingWork();
}

void CZeltoIndexDlg::RunPendingWork()
{
    if (!m_catalogueLink)
        return;
    CZeltoIndexApp& app = TheApp();
    if (m_catalogueLink->TakeRefillRequest()) {
        m_categories.ResetContent();
        for (const std::wstring& category : app.m_categories)
            m_categories.AddString(category);
        m_categories.SetCurSel(0);
    }
    for (const auto& thumbnail : m_catalogueLink->TakeThumbnails())
        ApplyThumbnail(app.m_catalogue, thumbnail.first, thumbnail.second);
}

bool CZeltoIndexDlg::OnMessage(UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/, LRESULT& result)
{
    switch (message) {
    case WM_ACTIVATE:
        if (m_sharedWindow)
            InterlockedExchange(m_sharedWindow, static_cast<LONG>(reinterpret_cast<LONG_PTR>(m_hWnd)));
        return false;
    case WM_PAINT:
        OnPaint();
        result = 0;
        return true;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(m_icon);
        return true;
    default:
        return false;
    }
}
