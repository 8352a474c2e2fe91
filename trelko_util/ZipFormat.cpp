// Reading zip numbers and decoding entry names.
#include "trelko_util/ZipFormat.h"

#include <windows.h>

namespace zip {

uint16_t Read16(const std::string& bytes, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 static_cast<unsigned char>(bytes[at + 1]) << 8);
}

uint32_t Read32(const std::string& bytes, size_t at)
{
    return static_cast<uint32_t>(Read16(bytes, at)) | static_cast<uint32_t>(Read16(bytes, at + 2)) << 16;
}

bool DecodeEntryName(const std::string& bytes, unsigned long flag, std::wstring& name)
{
    name.clear();
    if (bytes.empty())
        return true;
    const UINT codePage = (flag & kUtf8NameFlag) ? CP_UTF8 : 437;
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int size = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0)
        return false;
    name.assign(static_cast<size_t>(size), L'\0');
    return MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), &name[0], size) == size;
}

} // namespace zip
