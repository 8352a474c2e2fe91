// server.dat as the launcher reads it and the maker's tool checks it: its
// text whatever encoding a person saved it in, and the maker's key (KEY=) and
// offline root (ROOT=) it names.
#pragma once

#include "net/Crypto.h"

#include <string>

/// The launcher takes server.dat's addresses from its first lines only (the
/// maker's key from any line).
constexpr int kServerFileLines = 10;

/// The file's name, beside the program (or in its index_deps folder).
extern const wchar_t* const kServerFileName; // L"server.dat"

/// What server.dat says about trust beyond KEY=: the maker's offline root
/// key (ROOT=), and why nothing can be trusted when the file names a key twice.
struct MakerTrust {
    bool rootNamed = false; // a ROOT= line is there (usable or not)
    PublicKey root;         // filled only when that ROOT is a P-256 public key
    std::string rootText;
    int keyLines = 0, rootLines = 0;
    std::string problem;    // "" when the file is usable (UTF-8, for the status line)
};

/// server.dat's bytes as a person may have saved them, made into the data
/// file's own form: UTF-16 (with its byte-order mark, or plainly so) decoded
/// to UTF-8, a UTF-8 byte-order mark dropped, CR-only line ends made CR LF.
std::string ServerFileText(const std::string& bytes);

/// The maker's key in server.dat's text (ServerFileText), read as a person
/// writes it: names and values trimmed, "[ SIGNATURE ]" as [SIGNATURE], on
/// any line of the file. Any signature section or KEY (or ROOT) line at all
/// makes required true; key is filled only when the KEY of the signature
/// section is a P-256 public key, so one that cannot be used fails closed.
/// Two KEY= or two ROOT= lines anywhere make the file unusable: no key, no
/// root, and trust->problem says why. keyText, when given, gets that KEY's
/// value as written ("" for a file named unusable).
void ReadMakerKey(const std::string& serverFileText, bool& required, PublicKey& key,
                  std::string* keyText = nullptr, MakerTrust* trust = nullptr);

/// Whether server.dat, as ReadMakerKey read it, names a maker's key the
/// catalogue is verified with: one usable KEY=, or one usable ROOT= whose
/// online keys sign the catalogue.
bool UsableMakerKey(bool signaturesRequired, const PublicKey& key, const MakerTrust& trust);
