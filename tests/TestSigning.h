// The test maker's keys: two P-256 key pairs made once with openssl, and
// signing with the publisher's signer, so that tests sign catalogue files whose
// addresses (the loopback port) change from run to run.
#pragma once

#include <string>

namespace testing_support {

/// A key pair's public half as server.dat's KEY= carries it, and its private
/// scalar for signing.
struct TestKey {
    const char* spkiBase64;
    const char* privateHex;
    const char* publicXYHex;
};

/// The maker's key the tests configure.
extern const TestKey kMakerKey;
/// Someone else's key.
extern const TestKey kOtherKey;

/// The DER ECDSA signature over SHA-256 of data with key, as
/// `openssl dgst -sha256 -sign` writes it.
std::string SignWith(const TestKey& key, const std::string& data);

/// Bytes of a hex text.
std::string BytesOfHex(const std::string& hex);

} // namespace testing_support
