// CatalogueLink, what the catalogue worker hands the dialog and how it
// reaches the controls, and the worker's thread itself.
#include "ui/CatalogueThread.h"

#include "catalogue/Catalogue.h"
#include "resources/resource.h"
#include "selfupdate/SelfUpdate.h"
#include "store/Text.h"

#include <commctrl.h>

#include <thread>
#include <utility>

CatalogueLink::CatalogueLink(HWND dialog, std::wstring allCategories)
    : m_dialog(dialog), m_allCategories(std::move(allCategories)), m_finished(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_attached(dialog != nullptr), m_barLent(dialog == nullptr)
{
}

void CatalogueLink::AttachDialog(HWND dialog)
{
    m_dialog = dialog;
    std::vector<std::wstring> names;
    {
        // A report the worker makes from here on goes to the window itself,
        // after the ones kept until now (its messages wait for this thread).
        std::lock_guard<std::mutex> hold(m_serversLock);
        m_attached = true;
        names = m_serverNames;
        m_serversAdded = static_cast<LRESULT>(names.size());
    }
    Send(IDC_SERVER, CB_RESETCONTENT, 0, 0);
    for (const std::wstring& name : names)
        Send(IDC_SERVER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Keep(name)));
    if (m_serverInUse >= 0)
        Send(IDC_SERVER, CB_SETCURSEL, static_cast<WPARAM>(m_serverInUse.load()), 0);
    // The bar and the status line were kept as if lent: they come back now.
    ReturnBar();
    Invalidate();
}

CatalogueLink::~CatalogueLink()
{
    if (m_finished)
        CloseHandle(m_finished);
}

void CatalogueLink::SerialAccepted(const std::string& name, long long serial, const std::string& sha256)
{
    SerialRecord record;
    record.serial = serial;
    record.sha256 = sha256;
    std::lock_guard<std::mutex> hold(m_serialsLock);
    m_serials.emplace_back(name, record);
}

void CatalogueLink::RootReplaced(const std::string& name, const std::string& rootText)
{
    std::lock_guard<std::mutex> hold(m_serialsLock);
    m_replacedRoot = {name, rootText};
}

std::pair<std::string, std::string> CatalogueLink::TakeReplacedRoot()
{
    std::lock_guard<std::mutex> hold(m_serialsLock);
    return std::exchange(m_replacedRoot, std::pair<std::string, std::string>());
}

std::vector<std::pair<std::string, SerialRecord>> CatalogueLink::TakeAcceptedSerials()
{
    std::lock_guard<std::mutex> hold(m_serialsLock);
    return std::move(m_serials);
}

bool CatalogueLink::ReplaceCatalogue(std::vector<SoftwareRecord>& records, std::vector<std::wstring>& categories,
                                     const std::string& expires)
{
    {
        std::lock_guard<std::mutex> hold(m_freshLock);
        m_accepted.records = records;
        m_accepted.expires = expires;
        m_replaced = true;
        m_fresh.records = std::move(records);
        m_fresh.categories = std::move(categories);
        m_fresh.expires = expires;
        m_freshWaiting = true;
    }
    Invalidate();
    return true;
}

bool CatalogueLink::TakeFreshCatalogue(FreshCatalogue& fresh)
{
    std::lock_guard<std::mutex> hold(m_freshLock);
    if (!m_freshWaiting)
        return false;
    fresh = std::move(m_fresh);
    m_fresh = FreshCatalogue();
    m_freshWaiting = false;
    return true;
}

void CatalogueLink::NewestCatalogue(LauncherState& state, std::vector<SoftwareRecord>& records, std::string& expires)
{
    {
        std::lock_guard<std::mutex> hold(m_freshLock);
        if (m_replaced) {
            records = m_accepted.records;
            expires = m_accepted.expires;
            return;
        }
    }
    std::lock_guard<std::mutex> hold(state.m_recordsLock);
    records = state.m_catalogue;
    expires = state.m_catalogueExpires;
}

bool CatalogueLink::TrySend(int control, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result, bool& gone)
{
    DWORD_PTR answer = 0;
    SetLastError(0);
    if (SendMessageTimeoutW(GetDlgItem(m_dialog.load(), control), message, wParam, lParam, SMTO_NORMAL, 200, &answer)) {
        result = static_cast<LRESULT>(answer);
        return true;
    }
    gone = GetLastError() != ERROR_TIMEOUT;
    return false;
}

LRESULT CatalogueLink::Send(int control, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Short waits, retried until the dialog takes the message: an update is
    // never dropped while the dialog is busy (an installation runs on its
    // thread), and never waited on once it is closing. Only messages that
    // may arrive twice are sent this way.
    LRESULT result = 0;
    bool gone = false;
    while (!m_closed && !gone && !TrySend(control, message, wParam, lParam, result, gone)) {
    }
    return result;
}

const wchar_t* CatalogueLink::Keep(const std::wstring& text)
{
    // A message that timed out may still be handled later: its text must outlive the call.
    std::lock_guard<std::mutex> hold(m_textsLock);
    m_texts.push_back(text);
    return m_texts.back().c_str();
}

void CatalogueLink::Invalidate()
{
    // Without a window there is nothing to paint (a null window would be every one).
    HWND dialog = m_dialog.load();
    if (!m_closed && dialog)
        InvalidateRect(dialog, nullptr, FALSE);
}

void CatalogueLink::SetStatusText(const std::string& text)
{
    std::lock_guard<std::mutex> hold(m_barLock);
    m_lastStatus = WideFromUtf8(text);
    if (!m_barLent)
        Send(IDC_STATUS, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Keep(m_lastStatus)));
}

void CatalogueLink::SetProgressRange(int low, int high)
{
    std::lock_guard<std::mutex> hold(m_barLock);
    m_lastLow = low;
    m_lastHigh = high;
    if (!m_barLent)
        Send(IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void CatalogueLink::SetProgressPos(int position)
{
    std::lock_guard<std::mutex> hold(m_barLock);
    m_lastPosition = position;
    if (!m_barLent)
        Send(IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CatalogueLink::LendBar()
{
    std::lock_guard<std::mutex> hold(m_barLock);
    m_barLent = true;
}

void CatalogueLink::ReturnBar()
{
    std::lock_guard<std::mutex> hold(m_barLock);
    if (!m_barLent)
        return;
    m_barLent = false;
    Send(IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(m_lastLow, m_lastHigh));
    Send(IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(m_lastPosition), 0);
    Send(IDC_STATUS, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Keep(m_lastStatus)));
}

std::wstring CatalogueLink::StandingStatus()
{
    std::lock_guard<std::mutex> hold(m_barLock);
    return m_lastStatus;
}

void CatalogueLink::ResetServers()
{
    {
        std::lock_guard<std::mutex> hold(m_serversLock);
        m_serverNames.clear();
        if (!m_attached)
            return;
    }
    Send(IDC_SERVER, CB_RESETCONTENT, 0, 0);
    m_serversAdded = 0;
}

void CatalogueLink::AddServer(const std::wstring& name)
{
    {
        std::lock_guard<std::mutex> hold(m_serversLock);
        if (!m_attached) {
            m_serverNames.push_back(name);
            return;
        }
    }
    // Adding twice would list the server twice: the count, asked after any
    // earlier attempt, tells whether one got through.
    const LRESULT index = m_serversAdded++;
    const wchar_t* kept = Keep(name);
    LRESULT ignored = 0;
    bool gone = false;
    while (!m_closed && !gone && Send(IDC_SERVER, CB_GETCOUNT, 0, 0) <= index &&
           !TrySend(IDC_SERVER, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kept), ignored, gone)) {
    }
}

void CatalogueLink::SelectServer(int index)
{
    m_serverInUse = index;
    {
        std::lock_guard<std::mutex> hold(m_serversLock);
        if (!m_attached)
            return;
    }
    Send(IDC_SERVER, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

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

void CatalogueThread(LauncherState& state, std::shared_ptr<CatalogueLink> link)
{
    try {
        LoadCatalogue(state, *link);
        // The launcher's own update, and what the start-up did about it: one
        // line after the catalogue's own, which it leaves standing.
        std::string line = state.m_launcherNotice;
        if (!link->Cancelled()) {
            // The list just accepted may still wait for the window to take it.
            std::vector<SoftwareRecord> catalogue;
            std::string expires;
            link->NewestCatalogue(state, catalogue, expires);
            const std::string fetched = FetchLauncherUpdate(state, catalogue, expires, *link);
            if (!fetched.empty())
                line = line.empty() ? fetched : line + " " + fetched;
        }
        if (!line.empty() && !link->Cancelled()) {
            const std::string standing = Utf8FromWide(link->StandingStatus());
            link->SetStatusText(standing.empty() ? line : standing + " " + line);
        }
    } catch (const std::exception&) {
        // Nothing leaves the worker; the list simply stays as it is.
    }
    link->Finished();
}

void StartCatalogueThread(LauncherState& state, std::shared_ptr<CatalogueLink> link)
{
    std::thread(CatalogueThread, std::ref(state), std::move(link)).detach();
}
