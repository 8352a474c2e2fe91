// SHA-256 of bytes and files, hex and base64, the maker's P-256 public key,
// and ECDSA signatures checked through CNG, each accepted in its one DER form.
#include "net/Crypto.h"

#include "net/CngHandles.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const size_t kDigestSize = 32;
const size_t kCoordinateSize = 32;

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

/// The group order n of P-256 halved (rounded down), big-endian: a
/// signature's s above it has a twin n - s that verifies as well, so only
/// the lower one is taken and no signature has two accepted forms.
const unsigned char kHalfOrder[kCoordinateSize] = {
    0x7f, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xde, 0x73, 0x7d, 0x56, 0xd3, 0x8b, 0xcf, 0x42, 0x79, 0xdc, 0xe5, 0x61, 0x7e, 0x31, 0x92, 0xa8};
/// The group order n itself.
const unsigned char kOrder[kCoordinateSize] = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};

/// One DER INTEGER at der[at] in its only form: short length, positive, no
/// leading zero byte unless the next has its high bit set, at most 32 bytes of
/// value. value gets the 32 big-endian bytes; at moves past it.
bool ReadExactInteger(const std::string& der, size_t& at, std::string& value)
{
    if (at + 2 > der.size() || der[at] != 0x02)
        return false;
    const size_t length = static_cast<unsigned char>(der[at + 1]);
    if (length == 0 || length >= 0x80 || at + 2 + length > der.size())
        return false;
    std::string bytes = der.substr(at + 2, length);
    const unsigned char first = static_cast<unsigned char>(bytes[0]);
    if (first & 0x80)
        return false; // negative
    if (first == 0) {
        if (length == 1 || !(static_cast<unsigned char>(bytes[1]) & 0x80))
            return false; // zero, or a zero byte that was not needed
        bytes.erase(0, 1);
    }
    if (bytes.size() > kCoordinateSize)
        return false;
    value = std::string(kCoordinateSize - bytes.size(), '\0') + bytes;
    at += 2 + length;
    return true;
}

bool AboveHalfOrder(const std::string& s)
{
    return std::memcmp(s.data(), kHalfOrder, kCoordinateSize) > 0;
}

/// INTEGER of a 32-byte big-endian value in its shortest form.
std::string ExactInteger(const std::string& value)
{
    size_t first = 0;
    while (first + 1 < value.size() && value[first] == 0)
        ++first;
    std::string bytes = value.substr(first);
    if (static_cast<unsigned char>(bytes[0]) & 0x80)
        bytes.insert(0, 1, '\0');
    return std::string(1, '\x02') + static_cast<char>(bytes.size()) + bytes;
}

} // namespace

bool SignatureFromDer(const std::string& der, std::string& rs)
{
    // SEQUENCE { INTEGER r, INTEGER s }: at most 72 bytes, so its length has
    // the short form, and it must end the signature.
    if (der.size() < 8 || der[0] != 0x30 || static_cast<unsigned char>(der[1]) >= 0x80 ||
        static_cast<size_t>(der[1]) != der.size() - 2)
        return false;
    size_t at = 2;
    std::string r, s;
    if (!ReadExactInteger(der, at, r) || !ReadExactInteger(der, at, s) || at != der.size() || AboveHalfOrder(s))
        return false;
    rs = r + s;
    return true;
}

std::string DerOfSignature(const std::string& rs)
{
    if (rs.size() != 2 * kCoordinateSize)
        return "";
    const std::string r = rs.substr(0, kCoordinateSize);
    std::string s = rs.substr(kCoordinateSize);
    if (AboveHalfOrder(s)) {
        // n - s, byte by byte from the low end with a borrow.
        int borrow = 0;
        for (size_t i = kCoordinateSize; i-- > 0;) {
            int digit = kOrder[i] - static_cast<unsigned char>(s[i]) - borrow;
            borrow = digit < 0;
            s[i] = static_cast<char>(digit + (borrow ? 256 : 0));
        }
    }
    const std::string body = ExactInteger(r) + ExactInteger(s);
    return std::string(1, '\x30') + static_cast<char>(body.size()) + body;
}

struct Sha256::Impl {
    CngAlgorithm provider{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

Sha256::Sha256() : m_impl(std::make_unique<Impl>()) {
    if (!m_impl->provider.Get() ||
        !Succeeded(BCryptCreateHash(m_impl->provider.Get(), &m_impl->hash, nullptr, 0, nullptr, 0, 0))) {
        m_impl->hash = nullptr;
        m_impl->failed = true;
    }
}

Sha256::~Sha256() {
    if (m_impl->hash)
        BCryptDestroyHash(m_impl->hash);
}

bool Sha256::Update(const void* data, size_t size) {
    if (m_impl->failed || !m_impl->hash)
        return false;
    const BYTE* bytes = static_cast<const BYTE*>(data);
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        // BCryptHashData takes a non-const pointer but does not write through it.
        if (!Succeeded(BCryptHashData(m_impl->hash, const_cast<BYTE*>(bytes), piece, 0))) {
            m_impl->failed = true;
            return false;
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

std::string Sha256::Finish() {
    if (m_impl->failed || !m_impl->hash)
        return "";
    std::string digest(kDigestSize, '\0');
    const bool ok = Succeeded(
        BCryptFinishHash(m_impl->hash, reinterpret_cast<PUCHAR>(&digest[0]), static_cast<ULONG>(digest.size()), 0));
    BCryptDestroyHash(m_impl->hash);
    m_impl->hash = nullptr;
    m_impl->failed = true;
    return ok ? digest : "";
}

std::string Sha256Of(const std::string& bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
}

bool Sha256OfFile(const std::wstring& path, std::string& digest) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    Sha256 hash;
    std::vector<char> buffer(64 * 1024);
    bool ok = true;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            ok = false;
            break;
        }
        if (read == 0)
            break;
        if (!hash.Update(buffer.data(), read)) {
            ok = false;
            break;
        }
    }
    CloseHandle(file);
    if (!ok)
        return false;
    digest = hash.Finish();
    return !digest.empty();
}

std::string HexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xF];
    }
    return hex;
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == kDigestSize * 2 &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool DigestMatchesHex(const std::string& digest, const std::string& hex) {
    if (digest.size() != kDigestSize || !IsSha256Hex(hex))
        return false;
    std::string lower = hex;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c; });
    return HexOf(digest) == lower;
}

bool DecodeBase64(const std::string& text, std::string& bytes) {
    // Only the strict form: whole groups of four with their padding, nothing
    // else, since crypt32 would also skip spaces and line breaks.
    if (text.empty() || text.size() % 4 != 0)
        return false;
    const auto valid = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    };
    const size_t padding = text.compare(text.size() - 2, 2, "==") == 0 ? 2 : text.back() == '=' ? 1 : 0;
    if (!std::all_of(text.begin(), text.end() - padding, valid))
        return false;
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr))
        return false;
    std::string decoded(size, '\0');
    if (size > 0 && !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                          reinterpret_cast<BYTE*>(&decoded[0]), &size, nullptr, nullptr))
        return false;
    decoded.resize(size);
    bytes = decoded;
    return true;
}

std::string EncodeBase64(const std::string& bytes) {
    if (bytes.empty())
        return "";
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (!CryptBinaryToStringA(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), flags,
                              nullptr, &size))
        return "";
    std::string text(size, '\0');
    if (!CryptBinaryToStringA(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), flags,
                              &text[0], &size))
        return "";
    text.resize(size);
    while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

bool ParsePublicKey(const std::string& base64, PublicKey& key) {
    std::string der;
    if (!DecodeBase64(base64, der))
        return false;
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, reinterpret_cast<const BYTE*>(der.data()),
                             static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    // The curve is the algorithm's parameter, the DER of its object identifier.
    static const BYTE kP256Oid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    const CRYPT_ALGORITHM_IDENTIFIER& algorithm = info->Algorithm;
    const CRYPT_BIT_BLOB& point = info->PublicKey;
    const bool ok = algorithm.pszObjId && std::string(algorithm.pszObjId) == szOID_ECC_PUBLIC_KEY &&
                    algorithm.Parameters.cbData == sizeof(kP256Oid) &&
                    std::equal(kP256Oid, kP256Oid + sizeof(kP256Oid), algorithm.Parameters.pbData) &&
                    point.cUnusedBits == 0 && point.cbData == 1 + 2 * kCoordinateSize && point.pbData[0] == 0x04;
    PublicKey parsed;
    if (ok) {
        // An uncompressed point: 0x04, then X and Y.
        const char* xy = reinterpret_cast<const char*>(point.pbData + 1);
        parsed.x.assign(xy, kCoordinateSize);
        parsed.y.assign(xy + kCoordinateSize, kCoordinateSize);
    }
    LocalFree(info);
    if (!ok)
        return false;
    key = parsed;
    return true;
}

bool VerifyDigestSignature(const PublicKey& key, const std::string& digest, const std::string& signature) {
    if (key.x.size() != kCoordinateSize || key.y.size() != kCoordinateSize || digest.size() != kDigestSize)
        return false;
    std::string rs;
    if (!SignatureFromDer(signature, rs))
        return false;
    CngAlgorithm provider(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!provider.Get())
        return false;
    std::vector<BYTE> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateSize);
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header->cbKey = static_cast<ULONG>(kCoordinateSize);
    std::copy(key.x.begin(), key.x.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB));
    std::copy(key.y.begin(), key.y.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB) + kCoordinateSize);
    CngKey handle;
    if (!Succeeded(BCryptImportKeyPair(provider.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle.Out(), blob.data(),
                                       static_cast<ULONG>(blob.size()), 0)))
        return false;
    std::string hash = digest;
    return BCryptVerifySignature(handle.Get(), nullptr, reinterpret_cast<PUCHAR>(&hash[0]),
                                 static_cast<ULONG>(hash.size()), reinterpret_cast<PUCHAR>(&rs[0]),
                                 static_cast<ULONG>(rs.size()), 0) == 0;
}

bool VerifySignature(const PublicKey& key, const std::string& data, const std::string& signature) {
    const std::string digest = Sha256Of(data);
    return !digest.empty() && VerifyDigestSignature(key, digest, signature);
}
