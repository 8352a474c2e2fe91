// TransferWatch: counts the bytes of a transfer in fixed windows, checks its
// deadline and its progress's cancel, and aborts it from a thread of its own.
#include "net/TransferWatch.h"

#include <algorithm>

TransferWatch::TransferWatch(HttpTransfer& transfer, const DownloadOptions& options)
    : m_transfer(transfer), m_options(options), m_window(std::max(1u, options.stallWindowMs)),
      m_markTime(Clock::now()),
      m_deadline(options.deadlineMs ? m_markTime + std::chrono::milliseconds(options.deadlineMs)
                                    : Clock::time_point::max()),
      m_thread([this] { Watch(); })
{
}

TransferWatch::~TransferWatch()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_finished = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

bool TransferWatch::Received(uint64_t bytes)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_received += bytes;
    return Check();
}

bool TransferWatch::Check()
{
    if (m_options.progress && m_options.progress->Cancelled())
        m_cancelled = true;
    const auto now = Clock::now();
    // A transfer past its overall limit has stalled, however it crawls.
    if (now >= m_deadline)
        m_stalled = true;
    if (!m_cancelled && now - m_markTime >= m_window) {
        if (m_received - m_markBytes < m_options.stallBytes)
            m_stalled = true;
        m_markTime = now;
        m_markBytes = m_received;
    }
    return !m_stalled && !m_cancelled;
}

void TransferWatch::Watch()
{
    auto step = std::min<Clock::duration>(m_window / 4, std::chrono::milliseconds(100));
    if (m_options.deadlineMs)
        step = std::min<Clock::duration>(step, std::chrono::milliseconds(std::max(1ull, m_options.deadlineMs / 4)));
    std::unique_lock<std::mutex> hold(m_lock);
    bool going = true;
    while (going && !m_wake.wait_for(hold, step, [this] { return m_finished; }))
        going = Check();
    if (!going)
        m_transfer.Abort();
}
