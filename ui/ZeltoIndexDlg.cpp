// The main window's dialog itself: its creation (system menu, icons, the
// controls bound to the template, the workers' links), the sizes that follow
// the DPI, the context menu, the paint that takes up the catalogue worker's
// announced work, and the window messages. The list lies in ProgramList.cpp,
// the commands in ProgramCommands.cpp.
#include "ui/ZeltoIndexDlg.h"

#include "catalogue/Catalogue.h"
#include "catalogue/CatalogueFiles.h"
#include "framework/WinApp.h"
#include "install/Invocation.h"
#include "resources/resource.h"
#include "ui/AboutDlg.h"
#include "ui/DialogHosts.h"
#include "ui/Dpi.h"
#include "ui/Images.h"

#include <utility>

namespace {

// The buttons' pictures, in pixels at 96 DPI.
constexpr int kButtonImageSide = 24;

HICON LoadAppIcon(int sizeMetric)
{
    int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(
        LoadImageW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
}

} // namespace

CZeltoIndexDlg::CZeltoIndexDlg(LauncherState& state, SettingsSaver saveInstalledState, volatile LONG* sharedWindow)
    : CDialogEx(IDD_MORVINDEX_DIALOG), m_state(state), m_saveInstalledState(std::move(saveInstalledState)),
      m_icon(LoadAppIcon(SM_CXICON)), m_smallIcon(LoadAppIcon(SM_CXSMICON)), m_sharedWindow(sharedWindow)
{
}

CZeltoIndexDlg::~CZeltoIndexDlg()
{
    if (m_catalogueLink)
        m_catalogueLink->Close();
    if (m_installation)
        m_installation->Cancel();
    if (m_icon)
        DestroyIcon(m_icon);
    if (m_smallIcon)
        DestroyIcon(m_smallIcon);
}

void CZeltoIndexDlg::StartCatalogue()
{
    if (m_catalogueLink)
        return;
    m_catalogueLink = std::make_shared<CatalogueLink>(nullptr, AfxLoadString(IDS_ALL_CATEGORIES));
    StartCatalogueThread(m_state, m_catalogueLink);
}

bool CZeltoIndexDlg::WaitForWorkers(DWORD milliseconds)
{
    if (!m_catalogueLink)
        return true;
    m_catalogueLink->Close(); // the invocation and installation workers see it too
    if (m_installation)
        m_installation->Cancel(); // a synchronisation stops at its next file and is put back
    const DWORD start = GetTickCount();
    if (!m_catalogueLink->WaitFinished(milliseconds))
        return false;
    while (m_invocationLink && m_invocationLink->ThreadsRunning() > 0) {
        if (GetTickCount() - start >= milliseconds)
            return false;
        Sleep(20);
    }
    // A synchronisation stops between two files and puts the folder back;
    // one long copy is waited for, so that it is undone rather than cut.
    constexpr DWORD kSynchronisationWait = 120000;
    while (m_installation && m_installation->Running()) {
        if (GetTickCount() - start >= (m_installation->Synchronising() ? kSynchronisationWait : milliseconds))
            return false;
        Sleep(20);
    }
    return true;
}

void CZeltoIndexDlg::OnOK()
{
    if (m_installation)
        m_installation->Cancel();
    CDialogEx::OnOK();
}

void CZeltoIndexDlg::OnCancel()
{
    if (m_installation)
        m_installation->Cancel();
    CDialogEx::OnCancel();
}

BOOL CZeltoIndexDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();

    HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE);
    std::wstring about = AfxLoadString(IDS_ABOUTBOX);
    if (systemMenu && !about.empty()) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));

    // Controls bound to the template; the labels paint themselves.
    const struct {
        CWnd* control;
        int id;
        bool subclass;
    } bindings[] = {
        {&m_onlyInstalledCheck, IDC_ONLY_INSTALLED, false}, {&m_onlyFavouritesCheck, IDC_ONLY_FAVOURITES, false},
        {&m_progress, IDC_PROGRESS, false},                  {&m_categories, IDC_CATEGORY, false},
        {&m_servers, IDC_SERVER, false},                     {&m_favourite, IDC_FAVOURITE, false},
        {&m_changelog, IDC_CHANGELOG, false},                {&m_launch, IDC_LAUNCH, false},
        {&m_install, IDC_INSTALL, false},                    {&m_close, IDOK, false},
        {&m_description, IDC_DESCRIPTION, true},             {&m_name, IDC_SOFTWARE_NAME, true},
        {&m_status, IDC_STATUS, true},
    };
    for (const auto& binding : bindings) {
        if (binding.subclass)
            binding.control->SubclassDlgItem(binding.id, m_hWnd);
        else
            binding.control->Attach(m_hWnd, binding.id);
    }

    // Every size in pixels below is given at 96 DPI and follows the window's.
    m_dpi = WindowDpi(m_hWnd);
    SetButtonImages();
    m_description.SetSunken(true).SetText(L"");
    m_name.SetFontBold(true).SetText(L"");

    m_list.SubclassDlgItem(IDC_REPORT_LIST, m_hWnd);
    m_images.Create(m_list.m_hWnd, m_dpi);
    m_list.SetDpi(m_dpi);
    m_list.SetColumnHeader(AfxLoadString(IDS_LIST_COLUMNS));
    // The first column shows only the thumbnail: a row reads as its program
    // ("Software") and title ("Titolo").
    m_list.SetAccessibleNameColumns({1, 5});
    m_list.SetAlternateMode(0);
    m_list.Invalidate();
    SetTimer(m_hWnd, kStandardImagesTimer, USER_TIMER_MINIMUM, nullptr);
    // COM starts once the window has painted: nothing before the first
    // paint needs it, and a timer comes only after every waiting paint.
    SetTimer(m_hWnd, kShellTimer, USER_TIMER_MINIMUM, nullptr);

    const bool catalogueStarted = m_catalogueLink != nullptr;
    if (!catalogueStarted)
        m_catalogueLink = std::make_shared<CatalogueLink>(m_hWnd, AfxLoadString(IDS_ALL_CATEGORIES));
    m_installation = std::make_shared<InstallationLink>(m_hWnd, m_catalogueLink, m_saveInstalledState);
    std::shared_ptr<InstallationLink> installation = m_installation;
    m_invocationLink = std::make_shared<InvocationLink>(m_hWnd, m_catalogueLink,
                                                        [installation] { return installation->Running(); });
    if (catalogueStarted)
        m_catalogueLink->AttachDialog(m_hWnd);
    else
        StartCatalogueThread(m_state, m_catalogueLink);
    // A request is normally taken up when the window is activated; the timer
    // also catches one whose hand-over activated nothing (the window was
    // already in front).
    SetTimer(m_hWnd, kInvocationTimer, 1000, nullptr);
    // The last verified list is usually read before the window exists: its
    // rows go into the window's first paint instead of a second one.
    if (m_catalogueLink->IsCatalogueReady() && m_catalogueLink->TakeRefillRequest())
        RefillList();
    return TRUE;
}

void CZeltoIndexDlg::SetButtonImages()
{
    struct ButtonImage {
        CMFCButton* button;
        UINT image;
    } buttons[] = {{&m_launch, IDB_PNG_AVVIA}, {&m_install, IDB_PNG_INSTALLA}, {&m_close, IDB_PNG_CHIUDI}};
    for (const ButtonImage& entry : buttons) {
        HBITMAP bitmap = nullptr;
        if (LoadImageBitmap(nullptr, entry.image, &bitmap, ScaleForDpi(kButtonImageSide, m_dpi)))
            entry.button->SetImage(bitmap, m_dpi);
    }
}

void CZeltoIndexDlg::ApplyDpi(UINT dpi)
{
    // The dialog's own layout and font follow the DPI through the dialog
    // manager; what is measured in pixels here follows through this.
    if (dpi == 0 || dpi == m_dpi)
        return;
    m_dpi = dpi;
    m_list.SetDpi(dpi);
    m_images.SetDpi(dpi);
    SetButtonImages();
    for (CLabel* label : {&m_description, &m_name, &m_status})
        label->SetDpi(dpi);
}

void CZeltoIndexDlg::StartInvocationThread()
{
    if (!m_invocationLink)
        return;
    InvocationLink& link = *m_invocationLink;
    LauncherState& state = m_state;
    link.StartWorker([&state, &link] { InvocationThread(state, link); });
}

void CZeltoIndexDlg::ShowContextMenu()
{
    CMenu menu;
    if (!menu.LoadMenuW(AfxGetInstanceHandle(), IDR_MAIN_MENU))
        return;
    POINT cursor;
    GetCursorPos(&cursor);
    TrackPopupMenu(menu.GetSubMenu(1), TPM_LEFTALIGN | TPM_TOPALIGN, cursor.x, cursor.y, 0, m_hWnd, nullptr);
}

void CZeltoIndexDlg::OnPaint()
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    if (IsIconic(m_hWnd)) {
        RECT client;
        GetClientRect(m_hWnd, &client);
        FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
        int size = GetSystemMetrics(SM_CXICON);
        DrawIcon(dc, (client.right - size + 1) / 2, (client.bottom - size + 1) / 2, m_icon);
    }
    EndPaint(m_hWnd, &paint);
    RunPendingWork();
}

void CZeltoIndexDlg::OnOutermostMessageDone()
{
    // Work put off by a nested paint gets a paint of its own.
    if (m_workDeferred) {
        m_workDeferred = false;
        InvalidateRect(m_hWnd, nullptr, FALSE);
    }
}

void CZeltoIndexDlg::RunPendingWork()
{
    if (!m_catalogueLink || !m_catalogueLink->IsCatalogueReady())
        return;
    // A paint forced in the middle of a list operation (a label's redraw
    // during a sort, a message box's loop) must not refill the list or start
    // an install there and then: the work waits for a paint of its own.
    if (MessageDepth() > 1) {
        m_workDeferred = true;
        return;
    }
    for (const auto& accepted : m_catalogueLink->TakeAcceptedSerials()) {
        // The settings store is written under the records' lock (the
        // installation worker records builds in it); the catalogue worker
        // read the old value under the same lock.
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        if (RaiseSerial(m_state.m_settings, accepted.first, accepted.second))
            m_saveInstalledState();
    }
    const std::pair<std::string, std::string> root = m_catalogueLink->TakeReplacedRoot();
    if (!root.first.empty()) {
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        m_state.m_settings.SetValue(root.first, root.second);
        m_saveInstalledState();
    }
    // A fresh catalogue replaces the one shown while no installation reads it.
    CatalogueLink::FreshCatalogue fresh;
    if (!Busy() && m_catalogueLink->TakeFreshCatalogue(fresh)) {
        const int selected = SelectedRecord();
        m_reselect = selected >= 0 ? m_state.m_catalogue[static_cast<size_t>(selected)].name : std::string();
        {
            std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
            for (SoftwareRecord& record : fresh.records)
                ApplyInstalledState(record, m_state.m_settings);
            CarryOverThumbnails(fresh.records, m_state.m_catalogue);
            m_state.m_catalogue = std::move(fresh.records);
            m_state.m_categories = std::move(fresh.categories);
            m_state.m_catalogueExpires = fresh.expires;
        }
        m_catalogueLink->TakeRefillRequest();
        RefillList();
    }
    if (m_catalogueLink->TakeRefillRequest())
        RefillList();
    std::vector<std::pair<std::string, std::string>> thumbnails;
    if (!m_catalogueLink->FreshCatalogueWaiting())
        thumbnails = m_catalogueLink->TakeThumbnails();
    {
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        for (const auto& thumbnail : thumbnails)
            ApplyThumbnail(m_state.m_catalogue, thumbnail.first, thumbnail.second);
    }
    if (!thumbnails.empty())
        LoadPendingThumbnails();
    // A requested install waits for the running one; its end brings a paint.
    if (m_invocationLink && !Busy()) {
        std::string pending = m_invocationLink->TakePendingInstall();
        if (!pending.empty())
            OnInstall(pending);
    }
}

bool CZeltoIndexDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            CAboutDlg about(this);
            about.DoModal();
            return true;
        }
        return false;
    case WM_DPICHANGED:
        // Moved to a monitor of another DPI (per-monitor awareness); the
        // dialog manager then resizes the window and its controls.
        ApplyDpi(LOWORD(wParam));
        return false;
    case WM_ACTIVATE:
        if (m_sharedWindow)
            InterlockedExchange(m_sharedWindow, HandleToLong(m_hWnd));
        StartInvocationThread();
        return false;
    case WM_PAINT:
        OnPaint();
        result = 0;
        return true;
    case WM_TIMER:
        if (wParam == kStandardImagesTimer) {
            LoadStandardImages();
            return true;
        }
        if (wParam == kShellTimer) {
            KillTimer(m_hWnd, kShellTimer);
            if (!m_shell)
                m_shell.reset(new (std::nothrow) CShellManager);
            return true;
        }
        if (wParam != kInvocationTimer)
            return false;
        if (m_invocationLink && m_invocationLink->ThreadsRunning() == 0 && RequestWaiting(m_state))
            StartInvocationThread();
        return true;
    case WM_SETCURSOR:
        // The window answers while an installation runs; the cursor says it works.
        if (!Busy() || LOWORD(lParam) != HTCLIENT)
            return false;
        SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
        result = TRUE;
        return true;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(m_icon);
        return true;
    case WM_UPDATEUISTATE:
        SyncFilterChecks();
        return false;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom != IDC_REPORT_LIST)
            return false;
        if (header->code == LVN_ITEMCHANGED && (reinterpret_cast<NMLISTVIEW*>(lParam)->uChanged & LVIF_STATE))
            UpdateSelectionDetails();
        else if (header->code == NM_RCLICK)
            ShowContextMenu();
        else if (header->code == NM_DBLCLK && !Busy()) {
            if (IsWindowEnabled(m_launch.m_hWnd))
                OnLaunch();
            else if (IsWindowEnabled(m_install.m_hWnd))
                OnInstallSelected();
        }
        return false;
    }
    default:
        return false;
    }
}
