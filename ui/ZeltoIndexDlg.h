// The launcher's main window: a modal dialog on template 102.
#pragma once

#include "framework/Controls.h"
#include "framework/Wnd.h"
#include "ui/CatalogueThread.h"
#include "ui/Label.h"

#include <memory>

class CZeltoIndexDlg : public CDialogEx {
public:
    CZeltoIndexDlg();
    ~CZeltoIndexDlg() override;

    /// The slot, shared by every process of this executable, where the dialog
    /// publishes its window handle at each activation.
    void SetSharedWindowSlot(volatile LONG* slot) { m_sharedWindow = slot; }

    /// After the dialog has closed: gives the catalogue worker up to
    /// milliseconds to reach a stop before the process state goes away.
    void WaitForWorkers(DWORD milliseconds);

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnPaint();
    /// Work the catalogue worker announced: thumbnails to take over.
    void RunPendingWork();

    HICON m_icon;
    HICON m_smallIcon;
    volatile LONG* m_sharedWindow = nullptr;
    std::shared_ptr<CatalogueLink> m_catalogueLink;

    CProgressCtrl m_progress;
    CLabel m_status;
    CComboBox m_servers;
    CComboBox m_categories;
};
