// The main window's commands: the table from control and menu ids to their
// handlers, with the rule that nothing starts while an installation runs;
// install, update and repair on the installation worker, launch, the change
// log, the program's folder, prompt and uninstall; and the server and proxy
// choices, which take effect at the next start.
#include "ui/ZeltoIndexDlg.h"

#include "environment/ServerChoice.h"
#include "framework/WinApp.h"
#include "install/Commands.h"
#include "install/Installer.h"
#include "install/Launch.h"
#include "resources/resource.h"
#include "ui/DialogHosts.h"
#include "ui/ProxyCfg.h"

#include <thread>
#include <utility>

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

void CZeltoIndexDlg::OnInstall(const std::string& name)
{
    if (name.empty())
        return;
    LauncherState& state = m_state;
    StartInstallationWork([&state, name](InstallationLink& link) { InstallOrUpdate(state, name, link); });
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

void CZeltoIndexDlg::OnChangelog() { OnSoftwareCommand(IDC_CHANGELOG); }
void CZeltoIndexDlg::OnOpenFolder() { OnSoftwareCommand(ID_SOFTWARE_OPEN_FOLDER); }
void CZeltoIndexDlg::OnOpenPrompt() { OnSoftwareCommand(ID_SOFTWARE_PROMPT); }
void CZeltoIndexDlg::OnUninstall() { OnSoftwareCommand(ID_SOFTWARE_UNINSTALL); }

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
