// The main dialog as the host of launches (on its own thread), of
// installations and change log downloads (on the installation worker) and of
// start requests (on the invocation worker).
#pragma once

#include "environment/InstalledState.h"
#include "install/Installer.h"
#include "install/Invocation.h"
#include "ui/CatalogueThread.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

/// Questions and notices as message boxes owned by the main dialog, one at a
/// time in the process: a box that closes enables the dialog, which must not
/// happen under another box still waiting for its answer.
class WindowPrompts : public virtual LaunchHost {
public:
    explicit WindowPrompts(HWND owner) : m_owner(owner) {}
    bool AskYesNo(const std::wstring& text, const std::wstring& caption) override;
    void Notify(const std::wstring& text, const std::wstring& caption) override;
    /// Shows a box once no other box of the dialog is open (a worker waits
    /// its turn; the dialog's own thread never waits, as a worker's box needs
    /// it). 0, and nothing shown, once the window is gone; an answer given
    /// after the window went counts as no answer (0).
    int ShowBox(const std::wstring& text, const std::wstring& caption, UINT type);

protected:
    HWND m_owner;
};

/// Shared by the dialog and its installation worker, which runs one
/// installation or one change log download at a time while the window stays
/// alive. The worker drives progress bar 1009 and status label 1010 with
/// synchronous messages in short waits, asks in message boxes owned by the
/// dialog (the dialog is disabled meanwhile, as for any box it owns), and
/// stops once the dialog cancels it.
class InstallationLink : public InstallHost, public WindowPrompts {
public:
    /// Units of the bar per step, so that it moves within a download.
    static constexpr int kStepScale = 100;

    InstallationLink(HWND window, std::shared_ptr<CatalogueLink> catalogue, SettingsSaver saveInstalledState);
    ~InstallationLink() override;

    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int position) override;
    void SetStatusText(const std::string& text) override;
    void ShowDownloadError(const std::wstring& text, const std::wstring& caption) override;
    /// Asks the dialog to rebuild its list at its next paint.
    void RefillList() override { m_catalogue->RequestRefill(); }
    bool SaveInstalledState() override { return m_saveInstalledState(); }
    StepOutcome Synchronise(const std::vector<std::string>& archives, const std::string& staging,
                            const std::string& folder, bool repair, const std::string& tag,
                            const std::function<void(int)>& onArchive) override;
    bool ConcludeSynchronisation(const std::string& staging, bool keep) override
    {
        return ConcludeArchiveStep(staging, keep);
    }
    bool WindowGone() override { return Cancelled() || !IsWindow(m_owner); }
    void Received(uint64_t received, uint64_t total) override;
    bool Cancelled() const override { return m_cancelled.load() || m_catalogue->Cancelled(); }

    /// On the dialog's thread: marks a worker as running; false when one
    /// already runs (the click starts nothing).
    bool Begin();
    /// On the worker, as it ends: lets the dialog run the work it put off.
    void End();
    /// True from Begin to End.
    bool Running() const { return m_running.load(); }
    /// True once the running worker has begun to synchronise a folder.
    bool Synchronising() const { return m_synchronising.load(); }
    /// The window is closing: the download ends, a synchronisation stops at
    /// its next file and is put back, and nothing more is shown.
    void Cancel()
    {
        m_cancelled = true;
        InterlockedExchange(&m_stop, 1);
    }

private:
    /// Sends a message to control of the dialog in short waits until it is
    /// taken, the window is gone or the link is cancelled.
    void Send(int control, UINT message, WPARAM wParam, LPARAM lParam);

    std::shared_ptr<CatalogueLink> m_catalogue;
    SettingsSaver m_saveInstalledState;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_synchronising{false};
    volatile LONG m_stop = 0; // read by the library between files
    // Worker's own: the step shown, whether a range was set, the last position sent.
    int m_step = 0;
    bool m_hasRange = false;
    int m_shown = -1;
    DWORD m_lastMove = 0; // tick of the last move within a step, 0 for none
    std::mutex m_textsLock;
    std::deque<std::wstring> m_texts; // texts of messages that may be taken after their wait
};

/// Body of the installation worker: runs job with link as its host, then ends
/// the link's run.
void InstallationThread(std::shared_ptr<InstallationLink> link, std::function<void(InstallationLink&)> job);

/// Shared by the dialog and its invocation workers: the install a worker asks
/// the dialog to run, and whether the dialog is still there.
/// Made with std::make_shared: a worker keeps its link alive.
class InvocationLink : public InvocationHost,
                       public WindowPrompts,
                       public std::enable_shared_from_this<InvocationLink> {
public:
    /// installing says whether an installation runs.
    InvocationLink(HWND window, std::shared_ptr<CatalogueLink> catalogue, std::function<bool()> installing)
        : WindowPrompts(window), m_catalogue(std::move(catalogue)), m_installing(std::move(installing))
    {
    }

    bool WaitCatalogueReady() override;
    bool WaitInstallationEnd() override;
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
    std::function<bool()> m_installing;
    std::mutex m_lock;
    std::string m_pendingName;
    bool m_pending = false;
    std::atomic<bool> m_workerRunning{false};
};

/// Body of an invocation worker: takes up a waiting start request.
void InvocationThread(const LauncherState& state, InvocationLink& link);
