// The catalogue worker of the main dialog and the link through which it
// reports: control changes by synchronous window messages, everything else by
// flags that the dialog reads at its next paint.
#pragma once

#include "catalogue/CatalogueFiles.h"
#include "catalogue/CatalogueSink.h"
#include "environment/LauncherState.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CatalogueLink : public CatalogueSink {
public:
    /// dialog: the main dialog window, whose controls 1010 (status), 1009
    /// (progress) and 1028 (servers) the worker drives; null when the worker
    /// starts before the window exists (see AttachDialog).
    /// allCategories: entry 0 of the category list, from the dialog's resources.
    CatalogueLink(HWND dialog, std::wstring allCategories);
    ~CatalogueLink() override;

    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int position) override;
    void ResetServers() override;
    void AddServer(const std::wstring& name) override;
    void SelectServer(int index) override;
    void SetInstalledCount(int count) override;
    void RequestRefill() override;
    void CatalogueReady() override;
    void ThumbnailDownloaded(const std::string& address, const std::string& file) override;
    void SerialAccepted(const std::string& name, long long serial, const std::string& sha256) override;
    bool ReplaceCatalogue(std::vector<SoftwareRecord>& records, std::vector<std::wstring>& categories,
                          const std::string& expires) override;
    void ServersReady() override { m_serversReady = true; }
    void RootReplaced(const std::string& name, const std::string& rootText) override;
    /// The settings' root record to write (name and base64 key), once; empty names when none.
    std::pair<std::string, std::string> TakeReplacedRoot();
    bool Cancelled() const override { return m_closed.load(); }
    std::wstring AllCategoriesText() const override { return m_allCategories; }

    /// An installation takes the bar and the status line: until ReturnBar the
    /// catalogue's reports are only kept (the last text, range and position).
    void LendBar();
    /// Gives them back: what the catalogue last reported shows again.
    void ReturnBar();
    /// The status text the catalogue last reported: a warning in it stands
    /// until the catalogue itself replaces it.
    std::wstring StandingStatus();

    /// The window of a link made without one, once its controls exist (on
    /// the window's thread): what the worker reported until then (status
    /// text, bar, server list and choice) shows at once, and the dialog is
    /// asked to paint, so flags raised meanwhile are read.
    void AttachDialog(HWND dialog);

    /// Called by the dialog as it goes away: the worker stops at its next step
    /// and touches no window any more.
    void Close() { m_closed = true; }

    /// Flags for the dialog's paint handler; Take* clears what it returns.
    bool TakeRefillRequest() { return m_refillRequest.exchange(false); }
    bool IsCatalogueReady() const { return m_catalogueReady.load(); }
    /// True once the server list holds the fetched repository's servers.
    bool AreServersReady() const { return m_serversReady.load(); }
    /// A fresh catalogue waiting to replace the one shown, taken once.
    struct FreshCatalogue {
        std::vector<SoftwareRecord> records;
        std::vector<std::wstring> categories;
        std::string expires;
    };
    bool TakeFreshCatalogue(FreshCatalogue& fresh);
    /// The catalogue last accepted on this start (with its index's EXPIRES):
    /// the fresh one given to the window, else the state's own.
    void NewestCatalogue(LauncherState& state, std::vector<SoftwareRecord>& records, std::string& expires);
    /// True while a fresh catalogue waits: thumbnails reported meanwhile are
    /// its own, and wait with it.
    bool FreshCatalogueWaiting() const { return m_freshWaiting.load(); }
    /// The entry of the server list that names the server in use (-1 before the list is filled).
    int ServerInUse() const { return m_serverInUse.load(); }
    int InstalledCount() const { return m_installedCount.load(); }
    std::vector<std::pair<std::string, std::string>> TakeThumbnails();
    /// The settings' SERIAL records of the verified files in use (name and
    /// record), once.
    std::vector<std::pair<std::string, SerialRecord>> TakeAcceptedSerials();

    /// Marks the worker finished; WaitFinished waits for that up to milliseconds.
    void Finished();
    bool WaitFinished(DWORD milliseconds) const;

private:
    /// One wait of 200 ms for the dialog's control to take the message; gone
    /// tells that it never will (the window has been destroyed).
    bool TrySend(int control, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result, bool& gone);
    /// Sends a message that may arrive twice, retrying until it is taken.
    LRESULT Send(int control, UINT message, WPARAM wParam, LPARAM lParam);
    /// A copy of text that lives as long as the link.
    const wchar_t* Keep(const std::wstring& text);
    void Invalidate();

    std::atomic<HWND> m_dialog;
    const std::wstring m_allCategories;
    HANDLE m_finished;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_refillRequest{false};
    std::atomic<bool> m_catalogueReady{false};
    std::atomic<bool> m_serversReady{false};
    std::atomic<bool> m_freshWaiting{false};
    std::mutex m_freshLock;
    FreshCatalogue m_fresh;
    bool m_replaced = false;   // a fresh catalogue was given to the window
    FreshCatalogue m_accepted; // a copy of the last one, for the worker
    std::atomic<int> m_installedCount{0};
    std::mutex m_serialsLock;
    std::vector<std::pair<std::string, SerialRecord>> m_serials;
    std::pair<std::string, std::string> m_replacedRoot;
    std::atomic<int> m_serverInUse{-1};
    LRESULT m_serversAdded = 0;
    std::mutex m_serversLock; // orders the worker's server reports against AttachDialog
    bool m_attached;          // a window takes the server reports
    std::vector<std::wstring> m_serverNames; // reported before AttachDialog
    std::mutex m_textsLock;
    std::deque<std::wstring> m_texts;
    std::mutex m_barLock; // held while the bar or status line is sent to or lent
    bool m_barLent = false;
    std::wstring m_lastStatus;
    int m_lastLow = 0, m_lastHigh = 100, m_lastPosition = 0;
    std::mutex m_thumbnailsLock;
    std::vector<std::pair<std::string, std::string>> m_thumbnails;
};

/// Body of the catalogue worker: LoadCatalogue reporting through link, then
/// the link marked finished.
void CatalogueThread(LauncherState& state, std::shared_ptr<CatalogueLink> link);

/// Starts CatalogueThread detached.
void StartCatalogueThread(LauncherState& state, std::shared_ptr<CatalogueLink> link);
