// The main dialog as the host of installations and launches (on its own
// thread) and of start requests (on the invocation worker).
#pragma once

#include "install/Installer.h"
#include "install/Invocation.h"
#include "ui/CatalogueThread.h"

#include <windows.h>

#include <atomic>
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
class InvocationLink : public InvocationHost, public WindowPrompts {
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

    void ThreadStarted() { ++m_threads; }
    void ThreadEnded() { --m_threads; }
    int ThreadsRunning() const { return m_threads.load(); }

private:
    std::shared_ptr<CatalogueLink> m_catalogue;
    std::mutex m_lock;
    std::string m_pendingName;
    bool m_pending = false;
    std::atomic<int> m_threads{0};
};
