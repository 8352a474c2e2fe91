#include "ui/ZeltoIndexDlg.h"

#include "catalogue/Catalogue.h"
#include "environment/ServerChoice.h"
#include "environment/ShippedFiles.h"
#include "format/LauncherImage.h"
#include "install/Commands.h"
#include "install/Installer.h"
#include "install/Invocation.h"
#include "framework/WinApp.h"
#include "environment/InstalledState.h"
#include "ui/ProxyCfg.h"
#include "resources/resource.h"
#include "store/Text.h"
#include "ui/AboutDlg.h"
#include "ui/DialogHosts.h"
#include "ui/Dpi.h"
#include "ui/Images.h"

#include <filesystem>
#include <thread>
#include <utility>

namespace {

constexpr UINT_PTR kInvocationTimer = 1;
// The buttons' pictures, in pixels at 96 DPI.
constexpr int kButtonImageSide = 24;
// The list's standard pictures are decoded once the window has painted
// (a timer comes after every paint), or at the first fill if that is sooner.
constexpr UINT_PTR kStandardImagesTimer = 2;

HICON LoadAppIcon(int sizeMetric)
{
    int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(
        LoadImageW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to)
{
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
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

bool CZeltoIndexDlg::Busy() const { return m_installation && m_installation->Running(); }

SoftwareRecord CZeltoIndexDlg::CopyRecord(size_t index) const
{
    std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
    return m_state.m_catalogue[index];
}

void CZeltoIndexDlg::StartInstallationWork(std::function<void(InstallationLink&)> job)
{
    if (!m_installation || !m_installation->Begin())
        return;
    try {
        std::thread(InstallationThread, m_installation, std::move(job)).detach();
    } catch (const std::system_error&) {
        // No thread, no work: the next click may try again.
        m_installation->End();
    }
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

void CZeltoIndexDlg::LoadStandardImages()
{
    KillTimer(m_hWnd, kStandardImagesTimer);
    if (!m_standardImages.empty())
        return;
    int placeholder = m_images.Add(std::wstring(), IDB_PNG_PLACEHOLDER);
    m_standardImages.push_back(placeholder >= 0 ? placeholder : 0);
    for (const wchar_t* name : kLauncherPictures) {
        const std::wstring path = FindBesideProgram(m_state.m_programFolderW, name);
        int index = m_images.Add(path);
        m_standardImages.push_back(index >= 0 ? index : m_standardImages[kPlaceholder]);
    }
}

int CZeltoIndexDlg::SelectedRecord() const
{
    int row = m_list.GetNextItem(-1, LVNI_SELECTED);
    if (row < 0)
        return -1;
    LPARAM index = m_list.GetItemData(row);
    return index >= 0 && static_cast<size_t>(index) < m_state.m_catalogue.size() ? static_cast<int>(index) : -1;
}

void CZeltoIndexDlg::SyncFilterChecks()
{
    if (m_onlyInstalledCheck.m_hWnd)
        m_onlyInstalledCheck.SetCheck(m_filter.onlyInstalled ? BST_CHECKED : BST_UNCHECKED);
    if (m_onlyFavouritesCheck.m_hWnd)
        m_onlyFavouritesCheck.SetCheck(m_filter.onlyFavourites ? BST_CHECKED : BST_UNCHECKED);
}

void CZeltoIndexDlg::RefillList()
{
    // Before the worker has built the catalogue there is nothing to show, and
    // the catalogue may not be read while it is being built.
    if (!m_catalogueLink || !m_catalogueLink->IsCatalogueReady())
        return;
    LoadStandardImages();
    m_filling = true;
    if (m_firstFill) {
        if (m_catalogueLink->InstalledCount() > 0) {
            m_filter.onlyInstalled = true;
            SyncFilterChecks();
        }
        m_firstFill = false;
    }
    std::vector<int> sortColumns = m_list.GetSortColumns();
    int selected = SelectedRecord();
    std::string selectedName = selected >= 0 ? m_state.m_catalogue[static_cast<size_t>(selected)].name : "";
    // Right after a fresh catalogue came in, the rows' indices are the old one's.
    if (!m_reselect.empty())
        selectedName = std::exchange(m_reselect, std::string());

    m_categories.ResetContent();
    m_list.DeleteAllItems();
    int place = 0;
    for (size_t i = 0; i < m_state.m_categories.size(); ++i) {
        m_categories.SendMessageW(CB_INSERTSTRING, i, reinterpret_cast<LPARAM>(m_state.m_categories[i].c_str()));
        if (place == 0 && i > 0 && m_state.m_categories[i] == m_categoryFilter)
            place = static_cast<int>(i);
    }
    m_categories.SetCurSel(place);
    m_filter.categorySelected = place != 0;
    m_filter.category = Utf8FromWide(m_categoryFilter);

    // The rows' contents, read under the records' lock: the installation
    // worker may be recording a build meanwhile.
    struct Row {
        size_t index;
        std::vector<std::string> texts;
        bool favourite;
        int picture;
        int status;
    };
    std::vector<Row> contents;
    {
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        for (size_t index : VisibleRecords(m_state.m_catalogue, m_filter)) {
            const SoftwareRecord& record = m_state.m_catalogue[index];
            const int picture = record.imageIndex >= 1
                                    ? record.imageIndex
                                    : m_standardImages[static_cast<size_t>(ProgramTypeImage(record))];
            contents.push_back({index,
                                {"", record.name, std::to_string(record.installedBuild),
                                 std::to_string(record.availableBuild), "", record.title},
                                !record.favourite.empty(),
                                picture,
                                m_standardImages[static_cast<size_t>(StatusImage(record))]});
        }
    }

    // One redraw for the whole fill: a list view repaints at every row otherwise.
    m_list.SendMessageW(WM_SETREDRAW, FALSE);
    for (const Row& content : contents) {
        int row = m_list.InsertItem(0x7FFFFFFF, content.texts);
        if (row < 0)
            continue;
        m_list.SetItemData(row, static_cast<LPARAM>(content.index));
        m_list.SetItemTextColor(row, -1, content.favourite ? RGB(0, 0, 0) : GetSysColor(COLOR_WINDOWTEXT));
        m_list.SetItemBkColor(row, -1, content.favourite ? RGB(255, 255, 0) : GetSysColor(COLOR_WINDOW));
        m_list.SetItemImage(row, 0, content.picture);
        m_list.SetItemImage(row, 4, content.status);
    }
    m_list.SendMessageW(WM_SETREDRAW, TRUE);
    m_list.Invalidate(false);
    LoadPendingThumbnails();
    if (!sortColumns.empty())
        m_list.RestoreSortColumns(sortColumns);

    int rows = m_list.GetItemCount();
    if (rows > 0) {
        int choose = 0;
        for (int row = 0; row < rows; ++row) {
            LPARAM index = m_list.GetItemData(row);
            if (m_state.m_catalogue[static_cast<size_t>(index)].name == selectedName) {
                choose = row;
                break;
            }
        }
        m_list.SetSelectionMark(choose);
        m_list.SetItemState(choose, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        m_list.EnsureVisible(choose);
    }
    m_filling = false;
}

void CZeltoIndexDlg::LoadPendingThumbnails()
{
    LoadStandardImages();
    for (int row = 0; row < m_list.GetItemCount(); ++row) {
        SoftwareRecord& record = m_state.m_catalogue[static_cast<size_t>(m_list.GetItemData(row))];
        if (record.thumbnailFile.empty() || record.thumbnailLoaded)
            continue;
        std::unique_lock<std::mutex> hold(m_state.m_recordsLock);
        record.thumbnailLoaded = true;
        hold.unlock();
        int index = m_images.Add(WideFromUtf8(record.thumbnailFile));
        m_standardImages.push_back(index >= 0 ? index : m_standardImages[kPlaceholder]);
        hold.lock();
        record.imageIndex = m_standardImages.back();
        hold.unlock();
        m_list.SetItemImage(row, 0, record.imageIndex);
    }
}

void CZeltoIndexDlg::UpdateSelectionDetails()
{
    int selected = SelectedRecord();
    if (selected < 0)
        return;
    const SoftwareRecord record = CopyRecord(static_cast<size_t>(selected));
    m_name.SetText(L" " + WideFromUtf8(record.name));
    std::wstring prefix;
    COLORREF oldText = m_list.GetSelectionTextColor();
    if (record.installedBuild <= 0) {
        m_list.SetSelectionColors(GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_HIGHLIGHTTEXT));
        m_favourite.EnableWindow(false);
        m_launch.EnableWindow(false);
        m_install.EnableWindow(true);
        prefix = AfxLoadString(IDS_NEW_INSTALL);
    } else {
        m_favourite.EnableWindow(true);
        m_launch.EnableWindow(true);
        if (!record.favourite.empty()) {
            m_favourite.SetCheck(BST_CHECKED);
            m_list.SetSelectionColors(RGB(200, 200, 0), RGB(0, 0, 0));
        } else {
            m_favourite.SetCheck(BST_UNCHECKED);
            m_list.SetSelectionColors(GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_HIGHLIGHTTEXT));
        }
        m_changelog.EnableWindow(!record.changelogAddress.empty());
        bool update = record.availableBuild > record.installedBuild;
        // Up to date, it offers a repair.
        m_install.EnableWindow(true);
        prefix = update ? AfxLoadString(IDS_UPDATE_AVAILABLE) : std::wstring();
    }
    if (m_list.GetSelectionTextColor() != oldText)
        RedrawWindow(m_list.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    m_description.SetText(prefix + ReplaceAll(WideFromUtf8(record.description), L"<BR>", L"\r\n"));
}

void CZeltoIndexDlg::OnCategoryChanged()
{
    if (m_filling)
        return;
    int place = m_categories.GetCurSel();
    m_categoryFilter = place > 0 && static_cast<size_t>(place) < m_state.m_categories.size()
                           ? m_state.m_categories[static_cast<size_t>(place)]
                           : std::wstring();
    RefillList();
}

void CZeltoIndexDlg::OnFavourite()
{
    int selected = SelectedRecord();
    if (selected < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        ToggleFavourite(m_state.m_catalogue[static_cast<size_t>(selected)], m_state.m_settings, m_saveInstalledState);
    }
    RefillList();
}

void CZeltoIndexDlg::ShowRestartNotice()
{
    WindowPrompts(m_hWnd).ShowBox(AfxLoadString(IDS_RESTART_NOTICE), AfxLoadString(IDS_RESTART_CAPTION),
                MB_OK | MB_ICONEXCLAMATION);
}

bool CZeltoIndexDlg::RefuseChoiceWhileBusy()
{
    if (!Busy() && m_catalogueLink && m_catalogueLink->IsCatalogueReady() && m_catalogueLink->AreServersReady())
        return false;
    // The list always shows the server in use: a choice not taken is undone, with a word.
    m_servers.SetCurSel(m_catalogueLink ? m_catalogueLink->ServerInUse() : -1);
    WindowPrompts(m_hWnd).Notify(AfxLoadString(IDS_CHOICE_REFUSED), AfxLoadString(IDS_RESTART_CAPTION));
    return true;
}

void CZeltoIndexDlg::OnProxy()
{
    if (RefuseChoiceWhileBusy())
        return;
    CProxyCfg proxy(this);
    if (proxy.DoModal() != IDOK)
        return;
    ShowRestartNotice();
    OnOK();
}

void CZeltoIndexDlg::OnServerChanged()
{
    // The worker fills the server list before it announces the catalogue.
    if (RefuseChoiceWhileBusy())
        return;
    int index = m_servers.GetCurSel();
    if (index < 0 || static_cast<size_t>(index) >= m_state.m_servers.size())
        return;
    StoreServerChoice(m_state.m_serverSettingsFile, m_state.m_servers[static_cast<size_t>(index)]);
    ShowRestartNotice();
    OnOK();
}

void CZeltoIndexDlg::OnInstall(const std::string& name)
{
    if (name.empty())
        return;
    LauncherState& state = m_state;
    StartInstallationWork([&state, name](InstallationLink& link) { InstallOrUpdate(state, name, link); });
}

void CZeltoIndexDlg::OnLaunch()
{
    int selected = SelectedRecord();
    if (selected < 0)
        return;
    std::string name = m_state.m_catalogue[static_cast<size_t>(selected)].name;
    WindowPrompts host(m_hWnd);
    bool updateRequested = false;
    LaunchProgram("", name, m_state, host, updateRequested);
    if (updateRequested)
        OnInstall(name);
}

void CZeltoIndexDlg::OnSoftwareCommand(WORD id)
{
    int selected = SelectedRecord();
    if (selected < 0)
        return;
    SoftwareRecord& record = m_state.m_catalogue[static_cast<size_t>(selected)];
    switch (id) {
    case ID_SOFTWARE_OPEN_FOLDER:
        OpenProgramFolder(record);
        break;
    case ID_SOFTWARE_PROMPT:
        OpenCommandPrompt(record);
        break;
    case ID_SOFTWARE_UNINSTALL: {
        if (Uninstall(record, m_state, m_saveInstalledState)) {
            m_filter.onlyInstalled = false;
            SyncFilterChecks();
            RefillList();
        }
        break;
    }
    case IDC_CHANGELOG: {
        // Fetched on the installation worker, so the window stays alive.
        const LauncherState& state = m_state;
        SoftwareRecord copy = CopyRecord(static_cast<size_t>(selected));
        StartInstallationWork([&state, copy](InstallationLink& link) { ShowChangelog(copy, state, &link); });
        break;
    }
    default:
        break;
    }
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

void CZeltoIndexDlg::OnToggleOnlyInstalled()
{
    m_filter.onlyInstalled = !m_filter.onlyInstalled;
    SyncFilterChecks();
    RefillList();
}

void CZeltoIndexDlg::OnToggleOnlyFavourites()
{
    m_filter.onlyFavourites = !m_filter.onlyFavourites;
    SyncFilterChecks();
    RefillList();
}

void CZeltoIndexDlg::OnInstallSelected()
{
    int selected = SelectedRecord();
    if (selected < 0 || Busy())
        return;
    const SoftwareRecord record = CopyRecord(static_cast<size_t>(selected));
    if (!OffersRepair(record)) {
        OnInstall(record.name);
        return;
    }
    // An up-to-date program can still be put right: every file that differs
    // from the published one is copied again.
    if (!WindowPrompts(m_hWnd).AskYesNo(AfxLoadString(IDS_REPAIR_QUESTION), AfxLoadString(IDS_REPAIR_CAPTION)))
        return;
    LauncherState& state = m_state;
    const std::string name = record.name;
    StartInstallationWork([&state, name](InstallationLink& link) { InstallOrUpdate(state, name, link, true); });
}

void CZeltoIndexDlg::OnChangelog() { OnSoftwareCommand(IDC_CHANGELOG); }
void CZeltoIndexDlg::OnOpenFolder() { OnSoftwareCommand(ID_SOFTWARE_OPEN_FOLDER); }
void CZeltoIndexDlg::OnOpenPrompt() { OnSoftwareCommand(ID_SOFTWARE_PROMPT); }
void CZeltoIndexDlg::OnUninstall() { OnSoftwareCommand(ID_SOFTWARE_UNINSTALL); }

bool CZeltoIndexDlg::OnCommand(WORD id, WORD code, HWND control)
{
    // The dialog's commands: control or menu id, notification code (menu
    // commands come with any code), handler.
    constexpr WORD kAnyCode = 0xFFFF;
    // The ones that start something start nothing while an installation runs.
    static const struct {
        WORD id;
        WORD code;
        void (CZeltoIndexDlg::*handler)();
        bool starts;
    } commands[] = {
        {IDC_ONLY_INSTALLED, BN_CLICKED, &CZeltoIndexDlg::OnToggleOnlyInstalled, false},
        {IDC_ONLY_FAVOURITES, BN_CLICKED, &CZeltoIndexDlg::OnToggleOnlyFavourites, false},
        {IDC_INSTALL, BN_CLICKED, &CZeltoIndexDlg::OnInstallSelected, true},
        {IDC_LAUNCH, BN_CLICKED, &CZeltoIndexDlg::OnLaunch, true},
        {IDC_CATEGORY, CBN_SELCHANGE, &CZeltoIndexDlg::OnCategoryChanged, false},
        {IDC_FAVOURITE, BN_CLICKED, &CZeltoIndexDlg::OnFavourite, true},
        {ID_SOFTWARE_OPEN_FOLDER, kAnyCode, &CZeltoIndexDlg::OnOpenFolder, true},
        {ID_SOFTWARE_PROMPT, kAnyCode, &CZeltoIndexDlg::OnOpenPrompt, true},
        {ID_SOFTWARE_UNINSTALL, kAnyCode, &CZeltoIndexDlg::OnUninstall, true},
        {IDC_CHANGELOG, BN_CLICKED, &CZeltoIndexDlg::OnChangelog, true},
        // These two refuse with a word themselves, and put the list back.
        {IDC_PROXY, BN_CLICKED, &CZeltoIndexDlg::OnProxy, false},
        {IDC_SERVER, CBN_SELCHANGE, &CZeltoIndexDlg::OnServerChanged, false},
    };
    for (const auto& command : commands) {
        if (command.id == id && (command.code == kAnyCode || command.code == code)) {
            if (!command.starts || !Busy())
                (this->*command.handler)();
            else if (id == IDC_FAVOURITE)
                UpdateSelectionDetails(); // the checkbox shows the mark as it is
            return true;
        }
    }
    return CDialogEx::OnCommand(id, code, control);
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
