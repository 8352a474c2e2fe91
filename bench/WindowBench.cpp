// A 64 MB download with the window kept alive: the installation worker
// downloads, reporting its bytes to a progress bar through the dialog's link,
// while the window's thread answers its messages (floor: today's blocking
// DownloadToFile on the window's thread; limit: a plain Winsock read). Also
// the longest wait of a message sent to the window during that download.
#include "bench/PlainRead.h"
#include "bench/Report.h"
#include "net/HttpTransfer.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "ui/DialogHosts.h"

#include <commctrl.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using namespace testing_support;

namespace {

/// Downloads url on the installation worker, the bar following its bytes,
/// while this thread answers the window's messages until the worker ends.
void DownloadWindowAlive(HWND window, const std::string& url, const std::string& file)
{
    auto link = std::make_shared<InstallationLink>(window, std::make_shared<CatalogueLink>(window, L""),
                                                   [] { return true; });
    link->Begin();
    link->SetProgressRange(0, 2);
    link->SetProgressPos(0);
    std::thread(InstallationThread, link, [url, file](InstallationLink& host) {
        DownloadOptions options;
        options.progress = &host;
        DownloadToFile(url, file, options);
    }).detach();
    // As a dialog's loop does: sleep until a message comes (the worker's end
    // invalidates the window).
    while (link->Running()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

} // namespace

int main()
{
    TempDir dir;
    const std::string body(64 * 1024 * 1024, 'b');
    LoopbackServer server(StaticFiles({{"/big.zip", body}}));
    const std::string url = server.Url("/big.zip");
    ProgressWindow progress;

    const std::vector<Samples> downloads =
        Interleaved(kRounds, {[&] { DownloadWindowAlive(progress.window, url, dir.Narrow() + "alive.zip"); },
                              [&] { DownloadToFile(url, dir.Narrow() + "blocking.zip"); },
                              [&] { PlainRead(server.Port(), "/big.zip"); }});

    // How long the window keeps a message waiting while the body arrives.
    std::atomic<bool> done{false};
    double longest = 0;
    std::thread prober([&] {
        while (!done) {
            DWORD_PTR answer = 0;
            double wait = Seconds([&] {
                SendMessageTimeoutW(progress.window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer);
            });
            longest = wait > longest ? wait : longest;
            Sleep(5);
        }
    });
    DownloadWindowAlive(progress.window, url, dir.Narrow() + "alive.zip");
    done = true;
    prober.join();

    const bool whole = ReadBytes(dir / L"alive.zip").size() == body.size();
    printf("window answer during the 64 MB download%s: longest wait %.1f ms\n", whole ? "" : " (FAILED)",
           longest * 1e3);
    ReportLine("download, window alive", downloads[0], downloads[1], downloads[2]);
    return whole ? 0 : 1;
}
