#include "ui/DialogHosts.h"

#include "launcher/SyncBinding.h"
#include "launcher/ZeltoIndexApp.h"
#include "resources/resource.h"
#include "store/Text.h"
#include "ui/ZeltoIndexDlg.h"

#include <commctrl.h>

#include <system_error>
#include <thread>

bool WindowPrompts::AskYesNo(const std::wstring& text, const std::wstring& caption)
{
    return MessageBoxW(m_owner, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void WindowPrompts::Notify(const std::wstring& text, const std::wstring& caption)
{
    MessageBoxW(m_owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
}

void DialogHost::SetProgressRange(int low, int high)
{
    SendDlgItemMessageW(m_owner, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void DialogHost::SetProgressPos(int position)
{
    SendDlgItemMessageW(m_owner, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    // The installation blocks the message loop: show the bar now.
    UpdateWindow(GetDlgItem(m_owner, IDC_PROGRESS));
}

void DialogHost::SetStatusText(const std::string& text)
{
    HWND status = GetDlgItem(m_owner, IDC_STATUS);
    SetWindowTextW(status, WideFromUtf8(text).c_str());
    UpdateWindow(status);
}

void DialogHost::ShowDownloadError(const std::wstring& text, const std::wstring& caption)
{
    MessageBoxW(m_owner, text.c_str(), caption.c_str(), MB_OK);
}

void DialogHost::RefillList() { m_dialog.RefillList(); }

bool DialogHost::SaveSettings() { return TheApp().SaveSettings(); }

bool DialogHost::Synchronise(const std::string& archive, const std::string& staging, const std::string& folder)
{
    std::wstring error;
    if (SynchroniseFolder(archive, staging, folder, error))
        return true;
    if (!error.empty())
        MessageBoxW(m_owner, error.c_str(), L"Installazione", MB_OK | MB_ICONERROR);
    return false;
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
            try {
                body();
            } catch (const std::exception&) {
                // A request that cannot be handled is dropped; the window stays.
            }
            self->m_workerRunning = false;
        }).detach();
    } catch (const std::system_error&) {
        // No thread now (the process is short of them): the request waits.
        m_workerRunning = false;
        return false;
    }
    return true;
}
