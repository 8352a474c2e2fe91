// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), the value zlib's crc32 gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelto {

class ComputeCrc32 {
public:
    ComputeCrc32();
    virtual ~ComputeCrc32();
    ComputeCrc32(const ComputeCrc32&) = delete;
    ComputeCrc32& operator=(const ComputeCrc32&) = delete;

    /// Continues crc (0 to start) over size bytes.
    uint32_t Update(uint32_t crc, const void* data, size_t size) const;
    /// CRC of a whole file read in 4096-byte blocks; error set and 0 returned
    /// when it cannot be opened or read.
    uint32_t FileCrc(const std::wstring& path, bool& error) const;

private:
    uint32_t* m_table;
};

} // namespace zelto
