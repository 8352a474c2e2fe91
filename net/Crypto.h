// The platform's cryptography (CNG, crypt32) for what the launcher and the
// publisher check: SHA-256 of downloads and ECDSA P-256 signatures of the
// catalogue files made with the maker's key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

/// SHA-256 fed piece by piece, so that a download is hashed while it streams
/// to disk.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    /// False once the platform refused a step; Finish then gives "".
    bool Update(const void* data, size_t size);
    /// The 32-byte digest; the object is spent afterwards.
    std::string Finish();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

/// SHA-256 of bytes in memory (32 raw bytes; "" when the platform fails).
std::string Sha256Of(const std::string& bytes);
/// SHA-256 of a file's bytes; false when it cannot be read.
bool Sha256OfFile(const std::wstring& path, std::string& digest);

/// Lower-case hex of raw bytes.
std::string HexOf(const std::string& bytes);
/// True when text is 64 hex digits (either case): the form of an index's SHA256.
bool IsSha256Hex(const std::string& text);
/// Compares a raw digest with a hex text in either case.
bool DigestMatchesHex(const std::string& digest, const std::string& hex);

/// Bytes of a base64 text (padding required, no line breaks); false when it is no base64.
bool DecodeBase64(const std::string& text, std::string& bytes);
std::string EncodeBase64(const std::string& bytes);

/// The maker's public key: X and Y (32 bytes each) of an ECDSA P-256 point.
struct PublicKey {
    std::string x;
    std::string y;
    bool Empty() const { return x.empty(); }
};

/// Reads the KEY= text of server.dat: the base64 of the DER SubjectPublicKeyInfo
/// of a P-256 key, as `openssl ec -pubout -outform DER | base64 -w0` prints it.
/// False for anything else (another curve, another algorithm, bad base64).
bool ParsePublicKey(const std::string& base64, PublicKey& key);

/// r and s (32 big-endian bytes each) of a DER ECDSA P-256 signature, read
/// only in its one exact form: minimal lengths, no byte after it, and s in
/// the lower half of the group order. False for any other bytes.
bool SignatureFromDer(const std::string& der, std::string& rs);
/// The exact DER of r‖s (64 bytes), s replaced by its lower twin n - s when
/// it is in the upper half: the one form SignatureFromDer reads. "" for
/// another size.
std::string DerOfSignature(const std::string& rs);

/// True when signature (the exact DER of SignatureFromDer, as `openssl dgst
/// -sha256 -sign` writes it about half the time) is key's signature over
/// the SHA-256 of data.
bool VerifySignature(const PublicKey& key, const std::string& data, const std::string& signature);
/// The same check over a SHA-256 digest (32 raw bytes) already computed, for
/// a file hashed while it was written.
bool VerifyDigestSignature(const PublicKey& key, const std::string& digest, const std::string& signature);
