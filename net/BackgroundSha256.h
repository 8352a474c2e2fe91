// BackgroundSha256: SHA-256 of a body computed on a thread of its own while
// the body is still arriving.
#pragma once

#include "net/Crypto.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

/// SHA-256 on a thread of its own, fed in blocks, so that hashing a body
/// overlaps its transfer instead of adding to it.
class BackgroundSha256 {
public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    /// Adds bytes; waits only when the thread is several blocks behind.
    void Update(const char* data, size_t size);
    /// The raw digest of everything given; "" when the platform failed.
    std::string Finish();

private:
    static constexpr size_t kBlock = 256 * 1024;
    static constexpr size_t kDepth = 8; // blocks waiting at most: memory stays flat

    void Flush();
    void Close();
    void Run();

    Sha256 m_hash;
    std::string m_pending;
    std::deque<std::string> m_queue;
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::condition_variable m_space;
    bool m_closed = false;
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};
