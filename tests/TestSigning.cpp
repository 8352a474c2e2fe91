#include "tests/TestSigning.h"

#include "net/Crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace testing_support {

// openssl ecparam -name prime256v1 -genkey -noout -out key.pem;
// openssl ec -in key.pem -pubout -outform DER | base64 -w0; the scalar and the
// point from openssl ec -in key.pem -text.
const TestKey kMakerKey = {
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEvNa5QXQZuIqsmgEZttKDKz7LrBio2CK4e76HGaTWNRXH0es0uKfYJf6CQuj4Bojr+Kz0tYMTHlsAjLdUwDSxsw==",
    "f0bcd71bfffe393546af146a1680c164f8e0ff2f1cb1ebd5162dbdfa12956451",
    "bcd6b9417419b88aac9a0119b6d2832b3ecbac18a8d822b87bbe8719a4d63515"
    "c7d1eb34b8a7d825fe8242e8f80688ebf8acf4b583131e5b008cb754c034b1b3",
};

const TestKey kOtherKey = {
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAESUF92Qn0E9744c+AFGF1dHnmtwvU+V2Sm29Nl4nvor6t4qUJ2PaUg94vpqwo4PsKjvKOak1FLnhz4BTrDvEnuw==",
    "0577945f94a21d7a81a63ead3db9c2f54b40d809f3fb15947be16e2cccf9c3e9",
    "49417dd909f413def8e1cf801461757479e6b70bd4f95d929b6f4d9789efa2be"
    "ade2a509d8f69483de2fa6ac28e0fb0a8ef28e6a4d452e7873e014eb0ef127bb",
};

std::string BytesOfHex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string SignWith(const TestKey& key, const std::string& data)
{
    const std::string xy = BytesOfHex(key.publicXYHex);
    const std::string d = BytesOfHex(key.privateHex);
    std::vector<BYTE> blob(sizeof(BCRYPT_ECCKEY_BLOB));
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    header->cbKey = 32;
    blob.insert(blob.end(), xy.begin(), xy.end());
    blob.insert(blob.end(), d.begin(), d.end());

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0)
        throw std::runtime_error("no ECDSA provider");
    if (BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle, blob.data(),
                            static_cast<ULONG>(blob.size()), 0) != 0)
        throw std::runtime_error("private key refused");
    std::string digest = Sha256Of(data);
    BYTE rs[64];
    ULONG written = 0;
    const NTSTATUS status = BCryptSignHash(handle, nullptr, reinterpret_cast<PUCHAR>(&digest[0]),
                                           static_cast<ULONG>(digest.size()), rs, sizeof(rs), &written, 0);
    BCryptDestroyKey(handle);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (status != 0 || written != sizeof(rs))
        throw std::runtime_error("signing failed");

    // DER by hand: Wine's crypt32 decodes X509_ECC_SIGNATURE but does not
    // encode it. Each of r and s is an INTEGER without leading zero bytes,
    // with one zero byte in front when its high bit is set.
    const auto integer = [](const BYTE* value) {
        std::string bytes(reinterpret_cast<const char*>(value), 32);
        while (bytes.size() > 1 && bytes[0] == 0 && !(bytes[1] & 0x80))
            bytes.erase(0, 1);
        if (bytes[0] & 0x80)
            bytes.insert(0, 1, '\0');
        return std::string("\x02", 1) + static_cast<char>(bytes.size()) + bytes;
    };
    const std::string body = integer(rs) + integer(rs + 32);
    return std::string("\x30", 1) + static_cast<char>(body.size()) + body;
}

} // namespace testing_support
