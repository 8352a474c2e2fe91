// The application object's start-up, in order, and its state.
#include "launcher/ZeltoIndexApp.h"

#include "environment/DataFolder.h"
#include "install/Installer.h"
#include "launcher/FirstRun.h"
#include "launcher/HandOver.h"
#include "environment/ProgramIdentity.h"
#include "launcher/Registration.h"
#include "environment/SyncBinding.h"
#include "resources/resource.h"
#include "selfupdate/FirstInstall.h"
#include "selfupdate/SelfUpdate.h"
#include "format/SetupImage.h"
#include "store/Text.h"
#include "ui/Images.h"
#include "ui/ZeltoIndexDlg.h"

#include <commctrl.h>

#include <memory>
#include <thread>

const wchar_t* const kInstanceMutexName = L"MORVINDEX-088FA840-B10D-11D3-BC36-006067709674";

namespace {

// How long a new launcher build has to start, load its library and show its
// window before the previous build comes back.
constexpr unsigned kLauncherProofMs = 60000;

// A new build on trial proves itself once its window shows and its library
// loads; the watching process (or the journal, when none watches) learns it.
void ProveWhenShown(LauncherState& state, volatile LONG* sharedWindow)
{
    for (int i = 0; i < 6000; ++i) {
        HWND window = static_cast<HWND>(LongToHandle(*sharedWindow));
        if (window && IsWindowVisible(window)) {
            std::wstring error;
            if (LoadAggiornaFiles(error))
                ProveLauncher(state);
            return;
        }
        Sleep(50);
    }
}

} // namespace

CZeltoIndexApp::CZeltoIndexApp(volatile LONG* sharedWindow, int build) : m_sharedWindow(sharedWindow)
{
    m_launcherBuild = build;
    const std::wstring fullPath = GetFullProgramPath();
    m_setup = IsSetupProgramFile(fullPath.substr(fullPath.find_last_of(L'\\') + 1));
    if (m_setup)
        return;
    // The first GetProgramName of the process also binds the synchronisation library.
    RegisterUrlProtocol();
    std::wstring programName = GetProgramName();
    m_programNameUtf8 = Utf8FromWide(programName);
    m_settings.LoadRegistry(HKEY_CURRENT_USER, "software", m_programNameUtf8, "index");
    m_savedSettings = m_settings;
    InitialiseLauncherState(*this, programName, GetFullProgramPath());
}

CZeltoIndexApp::~CZeltoIndexApp()
{
    // A worker may still be recording an installation.
    std::lock_guard<std::mutex> hold(m_recordsLock);
    if (!m_setup && m_settings != m_savedSettings)
        SaveInstalledState();
}

const CWinApp::CommandEntry* CZeltoIndexApp::MessageMap(size_t& count) const
{
    static const CommandEntry entries[] = {{ID_HELP, &CWinApp::OnHelp}};
    count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

bool CZeltoIndexApp::SaveInstalledState()
{
    if (!m_settings.SaveRegistry("software", m_programNameUtf8, "index"))
        return false;
    m_savedSettings = m_settings;
    return true;
}

BOOL CZeltoIndexApp::InitInstance()
{
    if (m_setup) {
        RunSetup(GetFullProgramPath(), m_launcherBuild);
        return FALSE;
    }
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
    bool otherInstance = GetLastError() == ERROR_ALREADY_EXISTS;
    // A new build started by the running one to take its place holds no
    // second place: the one that started it waits for it and then ends.
    if (GetEnvironmentVariableW(kProofEventVariable, nullptr, 0) > 0)
        otherInstance = false;
    if (mutex)
        ReleaseMutex(mutex); // the handle stays open until the process ends

    if (AsksUninstall(GetCommandLineW(), GetFullProgramPath())) {
        if (otherInstance)
            MessageBoxW(nullptr, AfxLoadString(IDS_SETUP_LAUNCHER_RUNS).c_str(),
                        AfxLoadString(IDS_REMOVE_CAPTION).c_str(), MB_OK | MB_ICONEXCLAMATION);
        else
            RunUninstall(*this, [this] { return SaveInstalledState(); }, GetFullProgramPath(), GetProgramName());
        return FALSE;
    }

    CCommandLineInfo commandLine;
    ParseCommandLine(commandLine);
    if (!commandLine.m_strFileName.empty())
        WriteInvocationFile(commandLine.m_strFileName, m_dataFolderW + kInvocationFileName);

    if (otherInstance) {
        HWND running = static_cast<HWND>(LongToHandle(*m_sharedWindow));
        if (running) {
            SetForegroundWindow(running);
            if (IsIconic(running))
                ShowWindow(running, SW_RESTORE);
        }
        return FALSE;
    }

    // The launcher's own files before anything else: a step the last run
    // left is finished or undone, a fetched build goes in place and proves
    // itself, and if it takes over this process ends here.
    const std::wstring fullPath = GetFullProgramPath();
    const LauncherStart launcher = SettleLauncherFiles(*this, fullPath.substr(fullPath.find_last_of(L'\\') + 1),
                                                       kLauncherProofMs);
    if (launcher.handedOver)
        return FALSE;
    // From here on the window is built: the pictures' library starts beside it.
    PrepareImages(IDB_PNG_AVVIA);
    m_launcherNotice = launcher.notice;
    if (launcher.onTrial)
        std::thread(ProveWhenShown, std::ref(static_cast<LauncherState&>(*this)), m_sharedWindow).detach();

    // An installation the last run left halfway is concluded before anything
    // else touches the program folders: it stands if it was recorded, else
    // the folder goes back to the build that is.
    ResolvePendingInstallation(*this);

    CGCFileTypeAccess fileType;
    FillProgramFileType(fileType, GetProgramName(), GetFullProgramPath());
    fileType.RegSetExtension();
    fileType.RegSetDocumentType();
    fileType.RegSetCLSID();
    fileType.RegSetShellInfo();

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    CWinApp::InitInstance();

    {
        CZeltoIndexDlg dialog(*this, [this] { return SaveInstalledState(); }, m_sharedWindow);
        dialog.StartCatalogue();
        RunModal(dialog);
        if (!dialog.WaitForWorkers(3000)) {
            // A worker still uses the process state (a stalled download, a
            // question whose window is gone): nothing may be destroyed under
            // it. The settings are saved and the process ends here.
            {
                std::lock_guard<std::mutex> hold(m_recordsLock);
                if (m_settings != m_savedSettings)
                    SaveInstalledState();
            }
            TerminateProcess(GetCurrentProcess(), 0);
        }
    }
    return FALSE;
}
