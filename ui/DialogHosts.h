// The main dialog as the host of installations and launches (on its own
// thread) and of start requests (on the invocation worker).
#pragma once

#include "install/Installer.h"
#include "install/Invocation.h"
#include "ui/CatalogueThread.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class CZeltoIndexDlg;

/// Questions and notices as message boxes owned by the main dialog.
class WindowPrompts : public virtual LaunchHost {
public:
    explicit WindowPrompts(HWND owner) : m_owner(owner) {}
    bool AskYesNo(const std::wstring& text, const std::wstring& caption) override;
    void Notify(const std::wstring& text, const std::wstring& caption) override;

protected:
    HWND m_owner;
};

/// Installs and launches from the dialog's thread: progress bar 1009, status
/// label 1010, message boxes owned by the dialog.
class DialogHost : public InstallHost, public WindowPrompts {
public:
    DialogHost(CZeltoIndexDlg& dialog, HWND window) : WindowPrompts(window), m_dialog(dialog) {}

    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int position) override;
    void SetStatusText(const std::string& text) override;
    void ShowDownloadError(const std::wstring& text, const std::wstring& caption) override;
    void RefillList() override;
    bool SaveSettings() override;
    bool Synchronise(const std::string& archive, const std::string& staging, const std::string& folder) override;

private:
    CZeltoIndexDlg& m_dialog;
};

/// Shared by the dialog and its invocation workers: the install a worker asks
/// the dialog to run, and whether the dialog is still there.
/// Made with std::make_shared: a worker keeps its link alive.
class InvocationLink : public InvocationHost,
                       public WindowPrompts,
                       public std::enable_shared_from_this<InvocationLink> {
public:
    InvocationLink(HWND window, std::shared_ptr<CatalogueLink> catalogue)
        : WindowPrompts(window), m_catalogue(std::move(catalogue))
    {
    }

    bool WaitCatalogueReady() override;
    void RequestInstall(const std::string& name) override;
    void Invalidate() override;
    bool WindowGone() override { return m_catalogue->Cancelled() || !IsWindow(m_owner); }

    /// The name of a requested install, once; empty when none is pending.
    std::string TakePendingInstall();

    /// Starts body on a detached invocation worker unless one is running: one
    /// worker at a time, so activations never pile threads up behind a
    /// request. False when nothing was started (a worker runs, or no thread
    /// could be created); a waiting request is then left for the next
    /// activation or the timer.
    bool StartWorker(std::function<void()> body);
    /// 1 while an invocation worker runs, else 0.
    int ThreadsRunning() const { return m_workerRunning.load() ? 1 : 0; }

private:
    std::shared_ptr<CatalogueLink> m_catalogue;
    std::mutex m_lock;
    std::string m_pendingName;
    bool m_pending = false;
    std::atomic<bool> m_workerRunning{false};
};
