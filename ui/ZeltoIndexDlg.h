// The launcher's main window: a modal dialog on template 102 with the report
// list of the catalogue, its filters, the selected program's details, and the
// catalogue worker that fills it.
#pragma once

#include "framework/Controls.h"
#include "framework/Wnd.h"
#include "ui/CatalogueThread.h"
#include "ui/Label.h"
#include "ui/ListRows.h"
#include "ui/ReportCtrl.h"

#include <memory>
#include <string>
#include <vector>

struct LauncherState;
struct SoftwareRecord;

class CZeltoIndexDlg : public CDialogEx {
public:
    CZeltoIndexDlg();
    ~CZeltoIndexDlg() override;

    /// The slot, shared by every process of this executable, where the dialog
    /// publishes its window handle at each activation.
    void SetSharedWindowSlot(volatile LONG* slot) { m_sharedWindow = slot; }

    /// After the dialog has closed: tells every worker to stop and gives them
    /// up to milliseconds to do so. False when one still runs (a stalled
    /// download, a question that can no longer be answered).
    bool WaitForWorkers(DWORD milliseconds);

    /// Rebuilds the category combo and the list from the catalogue and the filters.
    void RefillList();
    /// Sets the filter checkboxes from the filter flags.
    void SyncFilterChecks();

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void OnOutermostMessageDone() override;

private:
    void OnPaint();
    /// Work the catalogue worker announced: refill, then thumbnails.
    void RunPendingWork();
    void LoadPendingThumbnails();
    void UpdateSelectionDetails();
    void LoadStandardImages();
    /// Catalogue index of the first selected row, or -1.
    int SelectedRecord() const;
    void OnCategoryChanged();
    void OnFavourite();
    void OnProxy();
    void OnServerChanged();
    void ShowRestartNotice();
    void ShowContextMenu();
    void OnInstall(const std::string& name);
    void OnInstallSelected();
    void OnLaunch();
    void OnToggleOnlyInstalled();
    void OnToggleOnlyFavourites();
    void OnChangelog();
    void OnOpenFolder();
    void OnOpenPrompt();
    void OnUninstall();
    void OnSoftwareCommand(WORD id);
    void StartInvocationThread();

    friend class DialogHost;

    LauncherState& m_state;
    HICON m_icon;
    HICON m_smallIcon;
    volatile LONG* m_sharedWindow = nullptr;
    std::shared_ptr<CatalogueLink> m_catalogueLink;
    std::shared_ptr<class InvocationLink> m_invocationLink;

    CImageList m_images;
    CReportCtrl m_list;
    std::vector<int> m_standardImages;
    ListFilter m_filter;
    bool m_filling = false;
    std::wstring m_categoryFilter;
    bool m_firstFill = true;
    bool m_workDeferred = false; // pending work met a nested paint

    CButton m_onlyInstalledCheck;
    CButton m_onlyFavouritesCheck;
    CLabel m_description;
    CLabel m_name;
    CProgressCtrl m_progress;
    CLabel m_status;
    CMFCButton m_launch;
    CMFCButton m_install;
    CMFCButton m_close;
    CComboBox m_categories;
    CButton m_favourite;
    CButton m_changelog;
    CComboBox m_servers;
};
