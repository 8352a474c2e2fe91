// The zip format's CRC-32, table-driven, over bytes or a whole file.
#include "trelko_util/Crc32.h"

#include "trelko_util/FileServices.h"

#include <windows.h>

#include <stdexcept>

namespace zelto {

ComputeCrc32::ComputeCrc32() : m_table(new uint32_t[256])
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        m_table[i] = value;
    }
}

ComputeCrc32::~ComputeCrc32() { delete[] m_table; }

uint32_t ComputeCrc32::Update(uint32_t crc, const void* data, size_t size) const
{
    if (!m_table)
        throw std::logic_error("CRC table missing");
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = m_table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t ComputeCrc32::FileCrc(const std::wstring& path, bool& error) const
{
    error = false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = true;
        return 0;
    }
    uint32_t crc = 0;
    try {
        unsigned char block[4096];
        DWORD got = 0;
        for (;;) {
            if (!ReadFile(file, block, sizeof block, &got, nullptr)) {
                error = true;
                break;
            }
            if (got == 0)
                break;
            crc = Update(crc, block, got);
        }
    } catch (const std::exception&) {
        error = true;
    }
    CloseHandle(file);
    return crc;
}

} // namespace zelto
