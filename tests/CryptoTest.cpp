// SHA-256, hex and base64, the maker's public key and signature checks
// against fixed vectors made with openssl.
#include "net/Crypto.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

// Fixed vectors made with openssl: the data, signed with the maker's test key
// by `openssl dgst -sha256 -sign key.pem -out data.sig data.txt`.
const std::string kData = "[PATHS]\r\nBASE=http://example.test/\r\nSERIAL=7\r\n";
const char kDataSha256[] = "9593d761b5513ec4e68a0dc475b39be9a2329e215614759b44b24a5a6bfbbc35";
// r and s of 32 bytes each.
const char kSignature[] = "304402200b8b5da4b7fd6e98e82992d521bb17229773008cc80a63c6ffdff719339aee41"
                          "0220518558ff02687bba9e73d5f9d00a9fea46ba207d5c003503511ca6affe1754ed";
// r of 31 bytes: its leading zero byte dropped by DER.
const char kSignatureShortR[] = "3043021f6c13c849460673fb92cd684f60e5cd5a3386b134e754e629c6e508e681859a"
                                "022019ea69ef33816b9850e1d87a2054a3cf34b3148b99100d73d7f2a4bac37cbbd5";
// r with its high bit set: DER adds a zero byte in front (33 bytes).
const char kSignatureLongR[] = "3045022100dae2e56187edc7d1b9d39111f7c2745f533b6c19c86ec4bfd2095e5a842edaa8"
                               "02205aa07a86e5221d97081cbad223af86dbe609721257bfba5020af6bef7ff0aa8a";
// kSignature with s replaced by its twin n - s, in the upper half: the same
// signature written the other way, as openssl does about half the time.
const char kSignatureHighS[] = "304502200b8b5da4b7fd6e98e82992d521bb17229773008cc80a63c6ffdff719339aee41"
                               "022100ae7aa6fffd978446618c2a062ff56015762cda304b176981a29d2412fe4bd064";
// A P-384 key: right form, wrong curve.
const char kP384Key[] = "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEr9CBZCvM+opjgC0DKhjeczMSMHbTZ9sRYi8RHg22XOfr2vyquhZRCxxmSnxgP0s+"
                        "q60EaLttau3RVUtXLiGWdL8TFHKXfe5pJGU0ePB1A1m2hRG0s1a029zzvwnZexHn";

PublicKey KeyOf(const TestKey& key)
{
    PublicKey parsed;
    EXPECT_TRUE(ParsePublicKey(key.spkiBase64, parsed));
    return parsed;
}

} // namespace

TEST(CryptoTest, Sha256_KnownVectorsWholeAndInPieces)
{
    EXPECT_EQ(HexOf(Sha256Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf(Sha256Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexOf(Sha256Of(kData)), kDataSha256);

    Sha256 pieces;
    for (char c : kData)
        ASSERT_TRUE(pieces.Update(&c, 1));
    EXPECT_EQ(HexOf(pieces.Finish()), kDataSha256);
    EXPECT_EQ(pieces.Finish(), "") << "a finished hash is spent";

    TempDir dir;
    WriteBytes(dir / L"data.txt", kData);
    std::string digest;
    ASSERT_TRUE(Sha256OfFile(dir / L"data.txt", digest));
    EXPECT_EQ(HexOf(digest), kDataSha256);
    EXPECT_FALSE(Sha256OfFile(dir / L"missing.txt", digest));
}

TEST(CryptoTest, HexAndBase64_StrictForms)
{
    const std::string digest = Sha256Of(kData);
    std::string upper = kDataSha256;
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    EXPECT_TRUE(IsSha256Hex(kDataSha256));
    EXPECT_TRUE(IsSha256Hex(upper));
    EXPECT_FALSE(IsSha256Hex(std::string(kDataSha256).substr(1)));
    EXPECT_FALSE(IsSha256Hex(std::string(kDataSha256).substr(1) + "g"));
    EXPECT_FALSE(IsSha256Hex(std::string(kDataSha256) + "0"));
    EXPECT_TRUE(DigestMatchesHex(digest, kDataSha256));
    EXPECT_TRUE(DigestMatchesHex(digest, upper));
    EXPECT_FALSE(DigestMatchesHex(digest, HexOf(Sha256Of("abc"))));
    EXPECT_FALSE(DigestMatchesHex("", kDataSha256));

    std::string bytes;
    EXPECT_EQ(EncodeBase64("Mario"), "TWFyaW8=");
    ASSERT_TRUE(DecodeBase64("TWFyaW8=", bytes));
    EXPECT_EQ(bytes, "Mario");
    const std::string binary("\x00\xff\x10 \r\n\xfe", 7);
    ASSERT_TRUE(DecodeBase64(EncodeBase64(binary), bytes));
    EXPECT_EQ(bytes, binary);
    EXPECT_FALSE(DecodeBase64("TWFyaW8", bytes)) << "padding is required";
    EXPECT_FALSE(DecodeBase64("TWFy\r\naW8=", bytes));
    EXPECT_FALSE(DecodeBase64("TW*yaW8=", bytes));
    EXPECT_FALSE(DecodeBase64("", bytes));
}

TEST(CryptoTest, ParsePublicKey_OnlyP256SubjectPublicKeyInfo)
{
    PublicKey key;
    ASSERT_TRUE(ParsePublicKey(kMakerKey.spkiBase64, key));
    EXPECT_EQ(HexOf(key.x + key.y), kMakerKey.publicXYHex);
    EXPECT_FALSE(key.Empty());

    PublicKey untouched;
    EXPECT_FALSE(ParsePublicKey(kP384Key, untouched));
    const std::string spki = kMakerKey.spkiBase64;
    EXPECT_FALSE(ParsePublicKey(spki.substr(0, spki.size() - 4), untouched)) << "cut short";
    EXPECT_FALSE(ParsePublicKey("TWFyaW8=", untouched));
    EXPECT_FALSE(ParsePublicKey("not base64", untouched));
    EXPECT_FALSE(ParsePublicKey("", untouched));
    EXPECT_TRUE(untouched.Empty());
}

TEST(CryptoTest, VerifySignature_OpensslSignaturesAcceptedAndEveryChangeRefused)
{
    const PublicKey maker = KeyOf(kMakerKey);
    const PublicKey other = KeyOf(kOtherKey);
    const std::string signature = BytesOfHex(kSignature);

    EXPECT_TRUE(VerifySignature(maker, kData, signature));
    EXPECT_TRUE(VerifySignature(maker, kData, BytesOfHex(kSignatureShortR)));
    EXPECT_TRUE(VerifySignature(maker, kData, BytesOfHex(kSignatureLongR)));
    EXPECT_TRUE(VerifyDigestSignature(maker, Sha256Of(kData), signature));

    std::string flippedData = kData;
    flippedData[10] ^= 0x01;
    EXPECT_FALSE(VerifySignature(maker, flippedData, signature));
    std::string flippedSignature = signature;
    flippedSignature[20] ^= 0x01;
    EXPECT_FALSE(VerifySignature(maker, kData, flippedSignature));
    EXPECT_FALSE(VerifySignature(other, kData, signature)) << "another key";
    EXPECT_FALSE(VerifySignature(maker, kData + "\r\n", signature));
    EXPECT_FALSE(VerifySignature(maker, kData, ""));
    EXPECT_FALSE(VerifySignature(maker, kData, signature.substr(0, signature.size() - 1)));
    EXPECT_FALSE(VerifySignature(maker, kData, std::string(64, 'x')));
    EXPECT_FALSE(VerifySignature(PublicKey(), kData, signature));

    // What the tests sign through the platform checks the same way.
    EXPECT_TRUE(VerifySignature(maker, kData, SignWith(kMakerKey, kData)));
    EXPECT_FALSE(VerifySignature(maker, kData, SignWith(kOtherKey, kData)));
}

TEST(CryptoTest, VerifySignature_OnlyTheExactDerForm)
{
    const PublicKey maker = KeyOf(kMakerKey);
    const std::string signature = BytesOfHex(kSignature);
    const std::string body = signature.substr(2);
    const std::string r = body.substr(0, 2 + 32), s = body.substr(2 + 32);
    EXPECT_FALSE(VerifySignature(maker, kData, signature + "\n")) << "a byte after the DER";
    EXPECT_FALSE(VerifySignature(maker, kData, signature + signature));
    EXPECT_FALSE(VerifySignature(maker, kData, std::string("\x30\x81\x44", 3) + body)) << "long length form";
    const std::string paddedR = std::string("\x02\x21\x00", 3) + r.substr(2);
    EXPECT_FALSE(VerifySignature(maker, kData, std::string("\x30\x45", 2) + paddedR + s)) << "a zero byte not needed";
    EXPECT_FALSE(VerifySignature(maker, kData, BytesOfHex(kSignatureHighS))) << "s in the upper half";

    // The writer puts every r and s into that one form.
    std::string rs;
    ASSERT_TRUE(SignatureFromDer(BytesOfHex(kSignatureLongR), rs));
    EXPECT_EQ(DerOfSignature(rs), BytesOfHex(kSignatureLongR));
    ASSERT_TRUE(SignatureFromDer(BytesOfHex(kSignatureShortR), rs));
    EXPECT_EQ(DerOfSignature(rs), BytesOfHex(kSignatureShortR));
    const std::string highS = BytesOfHex(kSignatureHighS);
    const std::string highRs = signature.substr(4, 32) + highS.substr(highS.size() - 32);
    EXPECT_EQ(DerOfSignature(highRs), signature) << "an upper s is written as n - s";
    // Signatures made through the platform come out with either s; each must
    // still read back.
    for (int i = 0; i < 16; ++i) {
        const std::string data = kData + std::to_string(i);
        const std::string made = SignWith(kMakerKey, data);
        EXPECT_TRUE(SignatureFromDer(made, rs)) << i;
        EXPECT_TRUE(VerifySignature(maker, data, made)) << i;
    }
}
