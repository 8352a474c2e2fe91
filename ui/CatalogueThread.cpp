#include "ui/CatalogueThread.h"

#include "catalogue/Catalogue.h"
#include "resources/resource.h"
#include "store/Text.h"

#include <commctrl.h>

#include <thread>

CatalogueLink::CatalogueLink(HWND dialog)
    : m_dialog(dialog), m_finished(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CatalogueLink::~CatalogueLink()
{
    if (m_finished)
        CloseHandle(m_finished);
}

LRESULT CatalogueLink::Send(int control, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_closed)
        return 0;
    // A bounded wait: a dialog that is closing must never hold the worker.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(m_dialog, control), message, wParam, lParam, SMTO_NORMAL, 5000, &result);
    return static_cast<LRESULT>(result);
}

void CatalogueLink::Invalidate()
{
    if (!m_closed)
        InvalidateRect(m_dialog, nullptr, FALSE);
}

void CatalogueLink::SetStatusText(const std::string& text)
{
    std::wstring wide = WideFromUtf8(text);
    Send(IDC_STATUS, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void CatalogueLink::SetProgressRange(int low, int high)
{
    Send(IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void CatalogueLink::SetProgressPos(int position) { Send(IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0); }

void CatalogueLink::ResetServers() { Send(IDC_SERVER, CB_RESETCONTENT, 0, 0); }

void CatalogueLink::AddServer(const std::wstring& name)
{
    Send(IDC_SERVER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
}

void CatalogueLink::SelectServer(int index) { Send(IDC_SERVER, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void CatalogueLink::SetInstalledCount(int count) { m_installedCount = count; }

void CatalogueLink::RequestRefill()
{
    m_refillRequest = true;
    Invalidate();
}

void CatalogueLink::CatalogueReady()
{
    m_catalogueReady = true;
    // The dialog acts on a refill request only once the catalogue is ready.
    Invalidate();
}

void CatalogueLink::ThumbnailDownloaded(const std::string& address, const std::string& file)
{
    {
        std::lock_guard<std::mutex> hold(m_thumbnailsLock);
        m_thumbnails.emplace_back(address, file);
    }
    Invalidate();
}

std::vector<std::pair<std::string, std::string>> CatalogueLink::TakeThumbnails()
{
    std::lock_guard<std::mutex> hold(m_thumbnailsLock);
    std::vector<std::pair<std::string, std::string>> taken;
    taken.swap(m_thumbnails);
    return taken;
}

void CatalogueLink::Finished() { SetEvent(m_finished); }

bool CatalogueLink::WaitFinished(DWORD milliseconds) const
{
    return WaitForSingleObject(m_finished, milliseconds) == WAIT_OBJECT_0;
}

void StartCatalogueThread(LauncherState& state, std::shared_ptr<CatalogueLink> link)
{
    std::thread([&state, link] {
        try {
            LoadCatalogue(state, *link);
        } catch (const std::exception&) {
            // Nothing leaves the worker; the list simply stays as it is.
        }
        link->Finished();
    }).detach();
}
