// The test maker's key pairs, and data signed with one of them.
#include "tests/TestSigning.h"

#include "publish/Signing.h"

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
    const SigningKey signing = {BytesOfHex(key.privateHex), xy.substr(0, 32), xy.substr(32)};
    return SignData(signing, data);
}

} // namespace testing_support
