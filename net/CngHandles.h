// Owners of the platform's CNG handles: an algorithm provider and a key, each
// opened for one use and closed with it.
#pragma once

#include <windows.h>

#include <bcrypt.h>

/// An algorithm provider; Get() is null when the platform refused to open it.
/// Opening one is cheap next to a download or a signature, and nothing is
/// shared between threads.
class CngAlgorithm {
public:
    explicit CngAlgorithm(LPCWSTR algorithm)
    {
        if (BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, 0) < 0)
            m_handle = nullptr;
    }
    ~CngAlgorithm()
    {
        if (m_handle)
            BCryptCloseAlgorithmProvider(m_handle, 0);
    }
    CngAlgorithm(const CngAlgorithm&) = delete;
    CngAlgorithm& operator=(const CngAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return m_handle; }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

/// A key imported or generated through Out(), destroyed with its owner.
class CngKey {
public:
    CngKey() = default;
    ~CngKey()
    {
        if (m_handle)
            BCryptDestroyKey(m_handle);
    }
    CngKey(const CngKey&) = delete;
    CngKey& operator=(const CngKey&) = delete;
    BCRYPT_KEY_HANDLE* Out() { return &m_handle; }
    BCRYPT_KEY_HANDLE Get() const { return m_handle; }

private:
    BCRYPT_KEY_HANDLE m_handle = nullptr;
};
