// TransferWatch: the thread that ends a transfer which stalls, passes its
// deadline or is cancelled, even while a WinINet call blocks.
#pragma once

#include "net/DownloadOptions.h"
#include "net/InternetHandle.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

/// Ends a transfer that stalls (fewer than the options' bytes in a window,
/// waiting for the answer included), passes the options' deadline, or whose
/// progress asks to stop, even while a WinINet call blocks: it aborts the
/// transfer from its own thread.
class TransferWatch {
public:
    TransferWatch(HttpTransfer& transfer, const DownloadOptions& options);
    ~TransferWatch();
    TransferWatch(const TransferWatch&) = delete;
    TransferWatch& operator=(const TransferWatch&) = delete;

    /// Counts bytes that arrived; false once the transfer has stalled or is
    /// cancelled (also checked here: a crawl keeps a read returning, and not
    /// every WinINet ends a blocked read when its handle is closed).
    bool Received(uint64_t bytes);
    /// True once the window rule or the deadline ended the transfer.
    bool Stalled() const { return m_stalled; }
    /// True once the progress asked to stop.
    bool Cancelled() const { return m_cancelled; }

private:
    using Clock = std::chrono::steady_clock;

    // With m_lock held: the window rule over fixed windows, and the cancel.
    bool Check();
    void Watch();

    HttpTransfer& m_transfer;
    const DownloadOptions& m_options;
    const std::chrono::milliseconds m_window;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_finished = false;
    uint64_t m_received = 0;
    Clock::time_point m_markTime;
    const Clock::time_point m_deadline;
    uint64_t m_markBytes = 0;
    std::atomic<bool> m_stalled{false};
    std::atomic<bool> m_cancelled{false};
    std::thread m_thread;
};
