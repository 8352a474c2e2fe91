// The main window's report list: its standard pictures and the programs'
// thumbnails, the fill from the catalogue through the filters and the
// category, the filter checkboxes, the favourite mark, and the selected
// program's details beside the list.
#include "ui/ZeltoIndexDlg.h"

#include "environment/ShippedFiles.h"
#include "format/LauncherImage.h"
#include "framework/WinApp.h"
#include "resources/resource.h"
#include "store/Text.h"

#include <iterator>
#include <utility>

namespace {

// The launcher's pictures are the list's standard ones, in the order of their
// places after the placeholder (kConsoleProgram to kNotInstalled).
static_assert(std::size(kLauncherPictures) == kNotInstalled, "one picture for each standard place");

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to)
{
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

} // namespace

void CZeltoIndexDlg::LoadStandardImages()
{
    KillTimer(m_hWnd, kStandardImagesTimer);
    if (!m_standardImages.empty())
        return;
    int placeholder = m_images.Add(std::wstring(), IDB_PNG_PLACEHOLDER);
    m_standardImages.push_back(placeholder >= 0 ? placeholder : 0);
    for (const wchar_t* name : kLauncherPictures) {
        const std::wstring path = FindBesideProgram(m_state.m_programFolderW, name);
        int index = m_images.Add(path);
        m_standardImages.push_back(index >= 0 ? index : m_standardImages[kPlaceholder]);
    }
}

int CZeltoIndexDlg::SelectedRecord() const
{
    int row = m_list.GetNextItem(-1, LVNI_SELECTED);
    if (row < 0)
        return -1;
    LPARAM index = m_list.GetItemData(row);
    return index >= 0 && static_cast<size_t>(index) < m_state.m_catalogue.size() ? static_cast<int>(index) : -1;
}

void CZeltoIndexDlg::SyncFilterChecks()
{
    if (m_onlyInstalledCheck.m_hWnd)
        m_onlyInstalledCheck.SetCheck(m_filter.onlyInstalled ? BST_CHECKED : BST_UNCHECKED);
    if (m_onlyFavouritesCheck.m_hWnd)
        m_onlyFavouritesCheck.SetCheck(m_filter.onlyFavourites ? BST_CHECKED : BST_UNCHECKED);
}

void CZeltoIndexDlg::RefillList()
{
    // Before the worker has built the catalogue there is nothing to show, and
    // the catalogue may not be read while it is being built.
    if (!m_catalogueLink || !m_catalogueLink->IsCatalogueReady())
        return;
    LoadStandardImages();
    m_filling = true;
    if (m_firstFill) {
        if (m_catalogueLink->InstalledCount() > 0) {
            m_filter.onlyInstalled = true;
            SyncFilterChecks();
        }
        m_firstFill = false;
    }
    std::vector<int> sortColumns = m_list.GetSortColumns();
    int selected = SelectedRecord();
    std::string selectedName = selected >= 0 ? m_state.m_catalogue[static_cast<size_t>(selected)].name : "";
    // Right after a fresh catalogue came in, the rows' indices are the old one's.
    if (!m_reselect.empty())
        selectedName = std::exchange(m_reselect, std::string());

    m_categories.ResetContent();
    m_list.DeleteAllItems();
    int place = 0;
    for (size_t i = 0; i < m_state.m_categories.size(); ++i) {
        m_categories.SendMessageW(CB_INSERTSTRING, i, reinterpret_cast<LPARAM>(m_state.m_categories[i].c_str()));
        if (place == 0 && i > 0 && m_state.m_categories[i] == m_categoryFilter)
            place = static_cast<int>(i);
    }
    m_categories.SetCurSel(place);
    m_filter.categorySelected = place != 0;
    m_filter.category = Utf8FromWide(m_categoryFilter);

    // The rows' contents, read under the records' lock: the installation
    // worker may be recording a build meanwhile.
    struct Row {
        size_t index;
        std::vector<std::string> texts;
        bool favourite;
        int picture;
        int status;
    };
    std::vector<Row> contents;
    {
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        for (size_t index : VisibleRecords(m_state.m_catalogue, m_filter)) {
            const SoftwareRecord& record = m_state.m_catalogue[index];
            const int picture = record.imageIndex >= 1
                                    ? record.imageIndex
                                    : m_standardImages[static_cast<size_t>(ProgramTypeImage(record))];
            contents.push_back({index,
                                {"", record.name, std::to_string(record.installedBuild),
                                 std::to_string(record.availableBuild), "", record.title},
                                !record.favourite.empty(),
                                picture,
                                m_standardImages[static_cast<size_t>(StatusImage(record))]});
        }
    }

    // One redraw for the whole fill: a list view repaints at every row otherwise.
    m_list.SendMessageW(WM_SETREDRAW, FALSE);
    for (const Row& content : contents) {
        int row = m_list.InsertItem(0x7FFFFFFF, content.texts);
        if (row < 0)
            continue;
        m_list.SetItemData(row, static_cast<LPARAM>(content.index));
        m_list.SetItemTextColor(row, -1, content.favourite ? RGB(0, 0, 0) : GetSysColor(COLOR_WINDOWTEXT));
        m_list.SetItemBkColor(row, -1, content.favourite ? RGB(255, 255, 0) : GetSysColor(COLOR_WINDOW));
        m_list.SetItemImage(row, 0, content.picture);
        m_list.SetItemImage(row, 4, content.status);
    }
    m_list.SendMessageW(WM_SETREDRAW, TRUE);
    m_list.Invalidate(false);
    LoadPendingThumbnails();
    if (!sortColumns.empty())
        m_list.RestoreSortColumns(sortColumns);

    int rows = m_list.GetItemCount();
    if (rows > 0) {
        int choose = 0;
        for (int row = 0; row < rows; ++row) {
            LPARAM index = m_list.GetItemData(row);
            if (m_state.m_catalogue[static_cast<size_t>(index)].name == selectedName) {
                choose = row;
                break;
            }
        }
        m_list.SetSelectionMark(choose);
        m_list.SetItemState(choose, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        m_list.EnsureVisible(choose);
    }
    m_filling = false;
}

void CZeltoIndexDlg::LoadPendingThumbnails()
{
    LoadStandardImages();
    for (int row = 0; row < m_list.GetItemCount(); ++row) {
        SoftwareRecord& record = m_state.m_catalogue[static_cast<size_t>(m_list.GetItemData(row))];
        if (record.thumbnailFile.empty() || record.thumbnailLoaded)
            continue;
        std::unique_lock<std::mutex> hold(m_state.m_recordsLock);
        record.thumbnailLoaded = true;
        hold.unlock();
        int index = m_images.Add(WideFromUtf8(record.thumbnailFile));
        m_standardImages.push_back(index >= 0 ? index : m_standardImages[kPlaceholder]);
        hold.lock();
        record.imageIndex = m_standardImages.back();
        hold.unlock();
        m_list.SetItemImage(row, 0, record.imageIndex);
    }
}

void CZeltoIndexDlg::UpdateSelectionDetails()
{
    int selected = SelectedRecord();
    if (selected < 0)
        return;
    const SoftwareRecord record = CopyRecord(static_cast<size_t>(selected));
    m_name.SetText(L" " + WideFromUtf8(record.name));
    std::wstring prefix;
    COLORREF oldText = m_list.GetSelectionTextColor();
    if (record.installedBuild <= 0) {
        m_list.SetSelectionColors(GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_HIGHLIGHTTEXT));
        m_favourite.EnableWindow(false);
        m_launch.EnableWindow(false);
        m_install.EnableWindow(true);
        prefix = AfxLoadString(IDS_NEW_INSTALL);
    } else {
        m_favourite.EnableWindow(true);
        m_launch.EnableWindow(true);
        if (!record.favourite.empty()) {
            m_favourite.SetCheck(BST_CHECKED);
            m_list.SetSelectionColors(RGB(200, 200, 0), RGB(0, 0, 0));
        } else {
            m_favourite.SetCheck(BST_UNCHECKED);
            m_list.SetSelectionColors(GetSysColor(COLOR_HIGHLIGHT), GetSysColor(COLOR_HIGHLIGHTTEXT));
        }
        m_changelog.EnableWindow(!record.changelogAddress.empty());
        bool update = record.availableBuild > record.installedBuild;
        // Up to date, it offers a repair.
        m_install.EnableWindow(true);
        prefix = update ? AfxLoadString(IDS_UPDATE_AVAILABLE) : std::wstring();
    }
    if (m_list.GetSelectionTextColor() != oldText)
        // During a fill the list paints once at its end, with the colours as they are then.
        RedrawWindow(m_list.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | (m_filling ? 0 : RDW_UPDATENOW));
    m_description.SetText(prefix + ReplaceAll(WideFromUtf8(record.description), L"<BR>", L"\r\n"));
}

void CZeltoIndexDlg::OnCategoryChanged()
{
    if (m_filling)
        return;
    int place = m_categories.GetCurSel();
    m_categoryFilter = place > 0 && static_cast<size_t>(place) < m_state.m_categories.size()
                           ? m_state.m_categories[static_cast<size_t>(place)]
                           : std::wstring();
    RefillList();
}

void CZeltoIndexDlg::OnFavourite()
{
    int selected = SelectedRecord();
    if (selected < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(m_state.m_recordsLock);
        ToggleFavourite(m_state.m_catalogue[static_cast<size_t>(selected)], m_state.m_settings, m_saveInstalledState);
    }
    RefillList();
}

void CZeltoIndexDlg::OnToggleOnlyInstalled()
{
    m_filter.onlyInstalled = !m_filter.onlyInstalled;
    SyncFilterChecks();
    RefillList();
}

void CZeltoIndexDlg::OnToggleOnlyFavourites()
{
    m_filter.onlyFavourites = !m_filter.onlyFavourites;
    SyncFilterChecks();
    RefillList();
}
