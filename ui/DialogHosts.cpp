// The dialog's hosts: message boxes asked from a worker, the installation
// worker and its progress, and the invocation worker's waits and requests.
#include "ui/DialogHosts.h"

#include "environment/SyncBinding.h"
#include "resources/resource.h"
#include "store/Text.h"

#include <commctrl.h>
#include <objbase.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace {

// The turn of the one box the dialog may own.
std::timed_mutex g_boxTurn;

} // namespace

int WindowPrompts::ShowBox(const std::wstring& text, const std::wstring& caption, UINT type)
{
    std::unique_lock<std::timed_mutex> turn(g_boxTurn, std::defer_lock);
    if (GetWindowThreadProcessId(m_owner, nullptr) == GetCurrentThreadId()) {
        // The dialog's thread cannot be clicked while a box is open (the box
        // disables it), so its turn is free unless a box is just coming up.
        turn.try_lock();
    } else {
        while (!turn.try_lock_for(std::chrono::milliseconds(200)))
            if (!IsWindow(m_owner))
                return 0;
    }
    if (!IsWindow(m_owner))
        return 0;
    const int answer = MessageBoxW(m_owner, text.c_str(), caption.c_str(), type);
    return IsWindow(m_owner) ? answer : 0;
}

bool WindowPrompts::AskYesNo(const std::wstring& text, const std::wstring& caption)
{
    return ShowBox(text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void WindowPrompts::Notify(const std::wstring& text, const std::wstring& caption)
{
    ShowBox(text, caption, MB_OK | MB_ICONEXCLAMATION);
}

InstallationLink::InstallationLink(HWND window, std::shared_ptr<CatalogueLink> catalogue,
                                   SettingsSaver saveInstalledState)
    : WindowPrompts(window), m_catalogue(std::move(catalogue)), m_saveInstalledState(std::move(saveInstalledState))
{
}

InstallationLink::~InstallationLink() = default;

void InstallationLink::Send(int control, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The dialog's thread only waits for this worker once the window is gone,
    // so the waits are short and end with the window or the link.
    HWND target = GetDlgItem(m_owner, control);
    DWORD_PTR answer = 0;
    while (!Cancelled() && target) {
        SetLastError(0);
        if (SendMessageTimeoutW(target, message, wParam, lParam, SMTO_NORMAL, 200, &answer) ||
            GetLastError() != ERROR_TIMEOUT)
            return;
    }
}

void InstallationLink::SetProgressRange(int low, int high)
{
    m_hasRange = true;
    m_catalogue->LendBar();
    Send(IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(low * kStepScale), high * kStepScale);
}

void InstallationLink::SetProgressPos(int position)
{
    m_step = position;
    m_shown = position * kStepScale;
    m_lastMove = 0;
    Send(IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(m_shown), 0);
}

void InstallationLink::Received(uint64_t received, uint64_t total)
{
    // Within the step of the download: a change log download has no steps.
    if (!m_hasRange || total == 0)
        return;
    const uint64_t part = received >= total ? kStepScale : received * kStepScale / total;
    const int position = m_step * kStepScale + static_cast<int>(part);
    // Twenty moves a second look smooth; each one is a message to the window's thread.
    const DWORD now = GetTickCount();
    if (position == m_shown || (part < kStepScale && m_lastMove != 0 && now - m_lastMove < 50))
        return;
    m_lastMove = now ? now : 1;
    m_shown = position;
    Send(IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void InstallationLink::SetStatusText(const std::string& text)
{
    const wchar_t* kept;
    {
        std::lock_guard<std::mutex> hold(m_textsLock);
        // An installation's last, empty status gives the line back to what
        // the catalogue says (a warning stays).
        m_texts.push_back(text.empty() ? m_catalogue->StandingStatus() : WideFromUtf8(text));
        kept = m_texts.back().c_str();
    }
    Send(IDC_STATUS, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kept));
}

void InstallationLink::ShowDownloadError(const std::wstring& text, const std::wstring& caption)
{
    if (!WindowGone())
        ShowBox(text, caption, MB_OK);
}

StepOutcome InstallationLink::Synchronise(const std::vector<std::string>& archives, const std::string& staging,
                                          const std::string& folder, bool repair, const std::string& tag,
                                          const std::function<void(int)>& onArchive)
{
    m_synchronising = true;
    // A stop asked for before the step began counts too.
    if (Cancelled())
        InterlockedExchange(&m_stop, 1);
    StepOutcome outcome = SynchroniseArchives(archives, staging, folder, repair, &m_stop, tag, onArchive);
    m_synchronising = false;
    return outcome;
}

bool InstallationLink::Begin()
{
    bool idle = false;
    if (!m_running.compare_exchange_strong(idle, true))
        return false;
    m_synchronising = false;
    m_hasRange = false;
    InterlockedExchange(&m_stop, 0);
    return true;
}

void InstallationLink::End()
{
    if (!Cancelled())
        m_catalogue->ReturnBar();
    m_running = false;
    // A refill or a requested install put off while this ran.
    if (!Cancelled())
        InvalidateRect(m_owner, nullptr, FALSE);
}

void InstallationThread(std::shared_ptr<InstallationLink> link, std::function<void(InstallationLink&)> job)
{
    // Starting a program or opening a document goes through the shell.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    try {
        job(*link);
    } catch (const std::exception&) {
        // Nothing leaves the worker; what failed has told the user itself.
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    link->End();
}

bool InvocationLink::WaitCatalogueReady()
{
    while (!m_catalogue->IsCatalogueReady()) {
        if (m_catalogue->Cancelled())
            return false;
        Sleep(200);
    }
    return !m_catalogue->Cancelled();
}

bool InvocationLink::WaitInstallationEnd()
{
    // An install the dialog was asked for but has not begun counts as running.
    for (;;) {
        if (m_catalogue->Cancelled())
            return false;
        bool pending;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            pending = m_pending;
        }
        if (!pending && !(m_installing && m_installing()))
            return true;
        Sleep(200);
    }
}

void InvocationLink::RequestInstall(const std::string& name)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_pendingName = name;
    m_pending = true;
}

void InvocationLink::Invalidate()
{
    if (!m_catalogue->Cancelled())
        InvalidateRect(m_owner, nullptr, FALSE);
}

std::string InvocationLink::TakePendingInstall()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_pending)
        return std::string();
    m_pending = false;
    return m_pendingName;
}

bool InvocationLink::StartWorker(std::function<void()> body)
{
    bool idle = false;
    if (!m_workerRunning.compare_exchange_strong(idle, true))
        return false;
    try {
        std::thread([self = shared_from_this(), body] {
            body();
            self->m_workerRunning = false;
        }).detach();
    } catch (const std::system_error&) {
        // No thread now (the process is short of them): the request waits.
        m_workerRunning = false;
        return false;
    }
    return true;
}

void InvocationThread(const LauncherState& state, InvocationLink& link)
{
    try {
        ProcessInvocation(state, link);
    } catch (const std::exception&) {
        // A request that cannot be handled is dropped; the window stays.
    }
}
