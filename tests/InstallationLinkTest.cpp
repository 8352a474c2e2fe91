// The installation and catalogue workers' link to the window (ui/DialogHosts):
// the bar and status line, reports kept until the window is there, and
// questions asked one at a time.
#include "install/Installer.h"
#include "resources/resource.h"
#include "store/Text.h"
#include "tests/InstallationFixture.h"
#include "tests/TestSupport.h"
#include "ui/DialogHosts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <commctrl.h>
#include <thread>

using namespace testing_support;

// The installation worker's link to the window: the bar counts steps and
// moves within a download's step with its bytes; one worker runs at a time;
// once stopped it changes no control.
TEST(InstallationLink, BarShowsEachStepAndTheBytesWithinIt)
{
    ProgressWindow dialog;
    ASSERT_NE(nullptr, dialog.status);
    HWND window = dialog.window;
    HWND status = dialog.status;
    auto position = [&dialog] { return dialog.Position(); };
    InstallationLink link(window, std::make_shared<CatalogueLink>(window, L""), [] { return true; });

    ASSERT_TRUE(link.Begin());
    EXPECT_FALSE(link.Begin()) << "a second click while one runs starts nothing";
    link.Received(10, 100);
    EXPECT_EQ(0, position()) << "a change log download has no steps to move in";
    link.SetProgressRange(0, 4);
    EXPECT_EQ(4 * InstallationLink::kStepScale, SendMessageW(dialog.bar, PBM_GETRANGE, FALSE, 0));
    link.SetProgressPos(1);
    EXPECT_EQ(InstallationLink::kStepScale, position()) << "each step shows its own fraction";
    link.Received(50, 200);
    EXPECT_EQ(InstallationLink::kStepScale * 5 / 4, position());
    link.Received(90, 0);
    EXPECT_EQ(InstallationLink::kStepScale * 5 / 4, position()) << "no size given: the bar stays";
    link.Received(200, 200);
    EXPECT_EQ(2 * InstallationLink::kStepScale, position());
    link.SetStatusText("Download application... ");
    wchar_t text[64] = {};
    GetWindowTextW(status, text, 64);
    EXPECT_STREQ(L"Download application... ", text);

    link.Cancel();
    EXPECT_TRUE(link.Cancelled());
    EXPECT_TRUE(link.WindowGone()) << "no question is asked any more";
    link.SetStatusText("");
    link.SetProgressPos(3);
    GetWindowTextW(status, text, 64);
    EXPECT_STREQ(L"Download application... ", text);
    EXPECT_EQ(2 * InstallationLink::kStepScale, position());
    link.End();
    EXPECT_FALSE(link.Running());
}

// Thumbnails loading while a program installs: the installation owns the bar
// and the status line until it ends; the catalogue's warning then stands.
TEST(InstallationLink, CatalogueKeepsOutOfAnInstallationsBarAndItsWarningStays)
{
    ProgressWindow dialog;
    ASSERT_NE(nullptr, dialog.status);
    HWND window = dialog.window;
    auto position = [&dialog] { return dialog.Position(); };
    auto statusText = [&dialog] { return dialog.Status(); };
    auto catalogue = std::make_shared<CatalogueLink>(window, L"");
    InstallationLink link(window, catalogue, [] { return true; });
    catalogue->SetStatusText("Download thumbnails... 1/5");

    ASSERT_TRUE(link.Begin());
    link.SetProgressRange(0, 2);
    link.SetProgressPos(1);
    link.SetStatusText("Installing 0/1");
    catalogue->SetStatusText("Download thumbnails... 2/5");
    catalogue->SetProgressPos(0);
    EXPECT_EQ(L"Installing 0/1", statusText());
    EXPECT_EQ(InstallationLink::kStepScale, position()) << "the catalogue's last step does not reset the bar";
    catalogue->SetStatusText("Impossibile verificare l'elenco");
    link.SetStatusText("");
    EXPECT_EQ(L"Impossibile verificare l'elenco", statusText()) << "the installation's end keeps the warning";
    link.End();
    EXPECT_EQ(L"Impossibile verificare l'elenco", statusText());
    EXPECT_EQ(0, position()) << "the catalogue's own bar again";
    catalogue->SetStatusText("");
    EXPECT_EQ(L"", statusText());
}

// The catalogue worker starts before the window exists: what it reports
// until the window takes its link is kept, shown once, and nothing of it is
// sent to a window that is not there or listed twice.
TEST(CatalogueLink, ReportsMadeBeforeTheWindowShowWhenItIsAttached)
{
    ProgressWindow dialog;
    HWND servers = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 40, 100, 100, dialog.window,
                                   reinterpret_cast<HMENU>(IDC_SERVER), nullptr, nullptr);
    ASSERT_NE(nullptr, servers);
    auto serverNames = [servers] {
        std::vector<std::wstring> names;
        for (LRESULT i = 0; i < SendMessageW(servers, CB_GETCOUNT, 0, 0); ++i) {
            wchar_t name[64] = {};
            SendMessageW(servers, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name));
            names.push_back(name);
        }
        return names;
    };
    auto link = std::make_shared<CatalogueLink>(nullptr, L"");
    link->SetStatusText("Download sw_index...");
    link->SetProgressRange(0, 5);
    link->SetProgressPos(2);
    link->ResetServers();
    link->AddServer(L"PRINCIPALE");
    link->AddServer(L"RISERVA");
    link->SelectServer(1);
    link->CatalogueReady();
    EXPECT_EQ(L"", dialog.Status());
    EXPECT_EQ(0, SendMessageW(servers, CB_GETCOUNT, 0, 0));

    link->AttachDialog(dialog.window);
    EXPECT_EQ(L"Download sw_index...", dialog.Status());
    EXPECT_EQ(2, dialog.Position());
    EXPECT_EQ(5, SendMessageW(dialog.bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_EQ((std::vector<std::wstring>{L"PRINCIPALE", L"RISERVA"}), serverNames());
    EXPECT_EQ(1, SendMessageW(servers, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(1, link->ServerInUse());
    EXPECT_TRUE(link->IsCatalogueReady());

    // Reports after the window took the link go straight to it.
    link->AddServer(L"TERZO");
    link->SetStatusText("");
    EXPECT_EQ((std::vector<std::wstring>{L"PRINCIPALE", L"RISERVA", L"TERZO"}), serverNames());
    EXPECT_EQ(L"", dialog.Status());
    link->ResetServers();
    EXPECT_EQ(0, SendMessageW(servers, CB_GETCOUNT, 0, 0));
}

namespace {

struct BoxSearch {
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<BoxSearch*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && wcscmp(text, search->caption) == 0)
        search->found.push_back(window);
    return TRUE;
}

// The visible boxes of this process with that caption.
std::vector<HWND> BoxesCaptioned(const wchar_t* caption)
{
    BoxSearch search{caption, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

// Two workers with something to say: the second box comes only once the
// first is answered, so closing one never enables the dialog under the other;
// once the window is gone nothing is asked and no answer counts.
TEST(InstallationLink, QuestionsOfTwoWorkersComeOneAfterTheOther)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    WindowPrompts installation(window), invocation(window);
    std::atomic<int> answered{0};
    std::thread first([&] { installation.Notify(L"uno", L"Domanda"); ++answered; });
    std::thread second([&] { invocation.AskYesNo(L"due", L"Domanda"); ++answered; });
    size_t most = 0;
    int closed = 0;
    while (closed < 2) {
        PumpMessages();
        std::vector<HWND> boxes = BoxesCaptioned(L"Domanda");
        if (boxes.empty()) {
            Sleep(10);
            continue;
        }
        // Give a second box every chance to show up beside the first.
        for (int i = 0; i < 25; ++i, Sleep(20))
            PumpMessages();
        boxes = BoxesCaptioned(L"Domanda");
        most = std::max(most, boxes.size());
        PostMessageW(boxes[0], WM_COMMAND, IDOK, 0);
        PostMessageW(boxes[0], WM_COMMAND, IDNO, 0);
        ++closed;
        while (IsWindow(boxes[0]))
            PumpMessages();
    }
    first.join();
    second.join();
    EXPECT_EQ(1u, most);
    EXPECT_EQ(2, answered.load());

    DestroyWindow(window);
    EXPECT_FALSE(installation.AskYesNo(L"tre", L"Domanda"));
    EXPECT_TRUE(BoxesCaptioned(L"Domanda").empty());
}
