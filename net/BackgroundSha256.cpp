// BackgroundSha256: blocks of the body queue up for a hashing thread, at most
// a few deep, so that memory stays flat however long the body.
#include "net/BackgroundSha256.h"

#include <utility>

BackgroundSha256::BackgroundSha256() : m_thread([this] { Run(); }) {}

BackgroundSha256::~BackgroundSha256()
{
    m_abandoned = true;
    Close();
}

void BackgroundSha256::Update(const char* data, size_t size)
{
    m_pending.append(data, size);
    if (m_pending.size() >= kBlock)
        Flush();
}

std::string BackgroundSha256::Finish()
{
    Flush();
    Close();
    return m_failed ? std::string() : m_hash.Finish();
}

void BackgroundSha256::Flush()
{
    if (m_pending.empty())
        return;
    std::unique_lock<std::mutex> hold(m_lock);
    m_space.wait(hold, [this] { return m_queue.size() < kDepth; });
    m_queue.push_back(std::move(m_pending));
    m_pending = std::string();
    m_pending.reserve(kBlock);
    m_ready.notify_one();
}

void BackgroundSha256::Close()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_closed)
            return;
        m_closed = true;
    }
    m_ready.notify_one();
    m_thread.join();
}

void BackgroundSha256::Run()
{
    for (;;) {
        std::string block;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_ready.wait(hold, [this] { return !m_queue.empty() || m_closed; });
            if (m_queue.empty() || m_abandoned)
                return;
            block = std::move(m_queue.front());
            m_queue.pop_front();
        }
        m_space.notify_one();
        if (!m_hash.Update(block.data(), block.size()))
            m_failed = true;
    }
}
