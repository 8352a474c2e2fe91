// The launcher's main window: a modal dialog on template 102 with the report
// list of the catalogue, its filters, the selected program's details, and the
// catalogue worker that fills it. Its code lies in three files: the dialog
// itself (ZeltoIndexDlg.cpp), the list (ProgramList.cpp) and the commands on
// the selected program (ProgramCommands.cpp).
#pragma once

#include "framework/Controls.h"
#include "framework/ShellManager.h"
#include "framework/Wnd.h"
#include "environment/InstalledState.h"
#include "ui/CatalogueThread.h"
#include "ui/Label.h"
#include "ui/ListImages.h"
#include "ui/ListRows.h"
#include "ui/ReportCtrl.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct SoftwareRecord;
class InstallationLink;

class CZeltoIndexDlg : public CDialogEx {
public:
    /// state: the catalogue, settings and folders the window shows and
    /// changes. saveInstalledState writes the settings to the registry.
    /// sharedWindow: the slot, shared by every process of this executable,
    /// where the dialog publishes its window handle at each activation (may
    /// be null).
    CZeltoIndexDlg(LauncherState& state, SettingsSaver saveInstalledState, volatile LONG* sharedWindow);
    ~CZeltoIndexDlg() override;

    /// Starts the catalogue worker before the window exists, so its downloads
    /// run while the window is built; the window takes its reports once its
    /// controls exist. Without this call the window starts the worker itself.
    void StartCatalogue();
    /// After the dialog has closed: tells every worker to stop and gives them
    /// up to milliseconds to do so; a synchronisation already begun is let
    /// finish. False when one still runs (a stalled download, a question that
    /// can no longer be answered).
    bool WaitForWorkers(DWORD milliseconds);

    /// Rebuilds the category combo and the list from the catalogue and the filters.
    void RefillList();
    /// Sets the filter checkboxes from the filter flags.
    void SyncFilterChecks();

protected:
    BOOL OnInitDialog() override;
    /// "Chiudi", Esc and the close box also stop a running installation.
    void OnOK() override;
    void OnCancel() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void OnOutermostMessageDone() override;

private:
    // The dialog (ZeltoIndexDlg.cpp).

    // Timer ids: a request the hand-over did not announce, and the list's
    // standard pictures once the window has painted (a timer comes after every
    // paint), or at the first fill if that is sooner.
    static constexpr UINT_PTR kInvocationTimer = 1;
    static constexpr UINT_PTR kStandardImagesTimer = 2;
    static constexpr UINT_PTR kShellTimer = 3;

    void OnPaint();
    /// Work the catalogue worker announced: refill, then thumbnails.
    void RunPendingWork();
    /// The pictures of "Avvia", "Installa/Aggiorna" and "Chiudi" at the window's DPI.
    void SetButtonImages();
    /// Sizes measured in pixels (columns, pictures, label fonts) for dpi.
    void ApplyDpi(UINT dpi);
    void ShowContextMenu();
    void StartInvocationThread();

    // The list (ProgramList.cpp).

    void LoadPendingThumbnails();
    void UpdateSelectionDetails();
    /// Decodes the placeholder and the five standard pictures into the image
    /// list, once; later calls do nothing.
    void LoadStandardImages();
    /// Catalogue index of the first selected row, or -1.
    int SelectedRecord() const;
    void OnCategoryChanged();
    void OnFavourite();
    void OnToggleOnlyInstalled();
    void OnToggleOnlyFavourites();

    // The commands on the selected program, and the choices that need a
    // restart (ProgramCommands.cpp).

    /// True, with the server list set back and a word to the user, while an
    /// installation runs or the catalogue is not ready: a server or proxy
    /// change then closes nothing.
    bool RefuseChoiceWhileBusy();
    void OnProxy();
    void OnServerChanged();
    void ShowRestartNotice();
    /// True while an installation or a change log download runs: clicks
    /// that would start something start nothing.
    bool Busy() const;
    /// Runs job on the installation worker unless one already runs.
    void StartInstallationWork(std::function<void(InstallationLink&)> job);
    /// A copy of a record, taken under the records' lock (the installation
    /// worker records builds meanwhile).
    SoftwareRecord CopyRecord(size_t index) const;
    void OnInstall(const std::string& name);
    void OnInstallSelected();
    void OnLaunch();
    void OnChangelog();
    void OnOpenFolder();
    void OnOpenPrompt();
    void OnUninstall();
    void OnSoftwareCommand(WORD id);

    LauncherState& m_state;
    SettingsSaver m_saveInstalledState;
    HICON m_icon;
    HICON m_smallIcon;
    volatile LONG* m_sharedWindow;
    std::shared_ptr<CatalogueLink> m_catalogueLink;
    std::shared_ptr<class InvocationLink> m_invocationLink;
    std::shared_ptr<InstallationLink> m_installation;

    UINT m_dpi = 96;
    CListImages m_images{48}; // the list's pictures: 48 x 48 at 96 DPI
    CReportCtrl m_list;
    std::vector<int> m_standardImages;
    ListFilter m_filter;
    bool m_filling = false;
    std::wstring m_categoryFilter;
    bool m_firstFill = true;
    std::string m_reselect; // the program to select at the next fill, after a fresh catalogue came in
    bool m_workDeferred = false; // pending work met a nested paint
    std::unique_ptr<CShellManager> m_shell; // COM for the shell services, from right after the first paint

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
