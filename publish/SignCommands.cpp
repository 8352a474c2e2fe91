// morvindex-publish's keys and signatures: sign and refresh (SERIAL,
// EXPIRES and the signatures of both catalogue files), keygen (a new P-256
// key) and keys (sw_keys.dat, the online keys signed with the offline root).
#include "format/CatalogueFormat.h"
#include "net/Crypto.h"
#include "publish/CommandParts.h"
#include "publish/DataFileLines.h"
#include "publish/Signing.h"
#include "publish/Site.h"
#include "publish/SiteCheck.h"
#include "publish/StagedFiles.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <cstring>
#include <utility>

namespace publish_commands {

namespace {

/// Days a keys file stays current when no --expires is given: the root that
/// signs it is kept offline, so it is renewed seldom.
constexpr int kDefaultKeysExpiryDays = 365;

/// A private key PEM file, read with its error named.
bool ReadSigningKey(const std::wstring& path, SigningKey& key, Reporter& reporter)
{
    std::string pem, error;
    if (!ReadFileBytes(path, pem)) {
        reporter.Error("cannot read the key " + Utf8FromWide(path));
        return false;
    }
    const bool ok = ParsePrivateKeyPem(pem, key, error);
    SecureZeroMemory(&pem[0], pem.size());
    if (!ok)
        reporter.Error(Utf8FromWide(path) + ": " + error);
    return ok;
}

/// An online key as the maker names it: a public key PEM file ("-----BEGIN
/// PUBLIC KEY-----", what openssl ec -pubout writes), a private key PEM
/// file (its public half), or the KEY= text itself.
bool OnlineKeyText(const std::wstring& argument, std::string& text, Reporter& reporter)
{
    std::string bytes, error;
    const std::wstring path = argument;
    if (IsFilePath(path) && ReadFileBytes(path, bytes)) {
        SigningKey key;
        if (PublicKeyFromPem(bytes, text))
            return true;
        if (ParsePrivateKeyPem(bytes, key, error)) {
            SecureZeroMemory(&bytes[0], bytes.size());
            text = PublicKeyText(key);
            return !text.empty();
        }
        reporter.Error(Utf8FromWide(path) + ": no public or private P-256 key in it");
        return false;
    }
    text = Utf8FromWide(argument);
    for (const char* prefix : {"KEY=", "ONLINE="})
        if (text.compare(0, strlen(prefix), prefix) == 0)
            text = text.substr(strlen(prefix));
    PublicKey parsed;
    if (!ParsePublicKey(text, parsed)) {
        reporter.Error(Utf8FromWide(argument) + ": neither a key file nor the KEY= text of a P-256 key");
        return false;
    }
    return true;
}

} // namespace

/// sign, or with refresh the daily re-signing: only files still signed with
/// this very key get a new SERIAL and EXPIRES, so a scheduled task never
/// publishes a hand edit nobody signed.
int RunSign(const std::vector<std::wstring>& arguments, Reporter& reporter, bool refresh)
{
    std::vector<std::wstring> positional;
    int expiryDays = kDefaultExpiryDays;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--expires" && i + 1 < arguments.size()) {
            if (!ParseExpiryDays(Utf8FromWide(arguments[++i]), expiryDays, reporter))
                return kPublishUsage;
        } else {
            positional.push_back(arguments[i]);
        }
    }
    if (positional.size() != 2) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = positional[0];
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    std::string error;
    SigningKey key;
    if (!ReadSigningKey(positional[1], key, reporter))
        return kPublishFailed;
    // A signed index vouches for its entries files: one that maps another
    // archive would send every launcher to the wrong parts of it.
    const SiteReport report = CheckSite(site);
    if (!report.misleadingEntries.empty()) {
        for (const std::string& problem : report.misleadingEntries)
            reporter.Error(problem);
        reporter.Error("not signed: run add again for each program named above");
        return kPublishFailed;
    }
    const std::string publicKey = PublicKeyText(key);
    const std::string expires = ExpiryAhead(expiryDays);
    PublicKey verifier;
    // Both files and both signatures are written beside their places first:
    // a refusal or a failed write leaves every one as it was.
    StagedFiles staged(site);
    const char* files[2] = {kIndexFile, kRepositoryFile};
    std::string stamps[2];
    for (int i = 0; i < 2; ++i) {
        const bool isIndex = i == 0;
        std::string bytes;
        if (!ReadFileBytes(SitePath(site, files[i]), bytes)) {
            reporter.Error(std::string("no ") + files[i] + " in " + Utf8FromWide(site));
            return kPublishFailed;
        }
        const std::string form = TextFormProblem(files[i], bytes);
        if (!form.empty()) {
            reporter.Error(form);
            return kPublishFailed;
        }
        DataFileLines lines(bytes);
        const std::string overlong = OverlongLineProblem(files[i], lines);
        if (!overlong.empty()) {
            reporter.Error(overlong);
            return kPublishFailed;
        }
        if (refresh) {
            std::string signature;
            if (!ReadFileBytes(SitePath(site, files[i]) + WideFromUtf8(kSignatureSuffix), signature) ||
                !ParsePublicKey(publicKey, verifier) || !VerifySignature(verifier, bytes, signature)) {
                reporter.Error(std::string(files[i]) + " is not signed with this key as it is (changed since, or "
                               "signed with another): check it and sign it with sign; refresh signs nothing new");
                return kPublishFailed;
            }
        }
        // A REDIRECT the launcher follows (within its first lines) sends it
        // elsewhere: it names its own role, SERIAL and EXPIRES.
        KeyValueStore head, whole;
        head.LoadText(bytes, kRedirectLines);
        whole.LoadText(bytes);
        const bool redirect = !head.GetValue("REDIRECT", "URL").empty();
        if (!redirect && isIndex && !IndexSectionsWithinLimit(whole)) {
            reporter.Error("sw_index.dat holds more than " + std::to_string(kMaxIndexSections) +
                           " sections: a launcher refuses it");
            return kPublishFailed;
        }
        std::string serial;
        if (!StampCatalogueFile(lines, whole, isIndex, redirect, expires, serial, error)) {
            reporter.Error(error + ": a launcher with the key would refuse it");
            return kPublishFailed;
        }
        bytes = lines.Text();
        stamps[i] = std::string(files[i]) + ": [PATHS] SERIAL=" + serial + ", EXPIRES=" + expires;
        const std::string signature = SignData(key, bytes);
        // The signature is checked the way the launcher will check it.
        if (signature.empty() || !ParsePublicKey(publicKey, verifier) || !VerifySignature(verifier, bytes, signature)) {
            reporter.Error(std::string("the platform could not sign ") + files[i]);
            return kPublishFailed;
        }
        const std::wstring path = SitePath(site, files[i]);
        if (!staged.Stage(path, bytes, error) || !staged.Stage(path + WideFromUtf8(kSignatureSuffix), signature, error)) {
            reporter.Error(error + "; nothing written");
            return kPublishFailed;
        }
    }
    if (!staged.Commit(error)) {
        reporter.Error(error + "; nothing written");
        return kPublishFailed;
    }
    for (int i = 0; i < 2; ++i) {
        if (!stamps[i].empty())
            reporter.Line(stamps[i]);
        reporter.Line(std::string(files[i]) + kSignatureSuffix + " written");
    }
    reporter.Line("KEY=" + publicKey);
    return kPublishDone;
}

int RunKeygen(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    std::vector<std::wstring> positional;
    bool root = false;
    for (const std::wstring& argument : arguments) {
        if (argument == L"--root")
            root = true;
        else
            positional.push_back(argument);
    }
    if (positional.size() != 1) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& path = positional[0];
    SigningKey key;
    std::string pem;
    if (!GenerateKey(key) || (pem = PrivateKeyPem(key)).empty()) {
        reporter.Error("the platform could not make a key");
        return kPublishFailed;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        reporter.Error("cannot create " + Utf8FromWide(path) +
                       (code == ERROR_FILE_EXISTS ? std::string(": it exists already") : ": " + Win32ErrorText(code)));
        return kPublishFailed;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, pem.data(), static_cast<DWORD>(pem.size()), &written, nullptr) &&
                    written == pem.size() && FlushFileBuffers(file);
    CloseHandle(file);
    SecureZeroMemory(&pem[0], pem.size());
    if (!ok) {
        DeleteFileW(path.c_str());
        reporter.Error("cannot write " + Utf8FromWide(path));
        return kPublishFailed;
    }
    if (root) {
        reporter.Line("ROOT=" + PublicKeyText(key));
        reporter.Line("put this line in the [SIGNATURE] section of server.dat; keep " + Utf8FromWide(path) +
                      " offline: it signs only sw_keys.dat (the keys command)");
        return kPublishDone;
    }
    reporter.Line("KEY=" + PublicKeyText(key));
    reporter.Line("put this line in the [SIGNATURE] section of server.dat; keep " + Utf8FromWide(path) +
                  " off the web server");
    return kPublishDone;
}

int RunKeys(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    std::vector<std::wstring> positional;
    std::wstring nextRootPath;
    int expiryDays = kDefaultKeysExpiryDays;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--expires" && i + 1 < arguments.size()) {
            if (!ParseExpiryDays(Utf8FromWide(arguments[++i]), expiryDays, reporter))
                return kPublishUsage;
        } else if (arguments[i] == L"--next-root" && i + 1 < arguments.size()) {
            nextRootPath = arguments[++i];
        } else {
            positional.push_back(arguments[i]);
        }
    }
    if (positional.size() < 3) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = positional[0];
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    SigningKey root, nextRoot;
    if (!ReadSigningKey(positional[1], root, reporter) ||
        (!nextRootPath.empty() && !ReadSigningKey(nextRootPath, nextRoot, reporter)))
        return kPublishFailed;
    std::vector<std::string> online;
    for (size_t i = 2; i < positional.size(); ++i) {
        std::string text;
        if (!OnlineKeyText(positional[i], text, reporter))
            return kPublishFailed;
        online.push_back(text);
    }
    // The SERIAL goes on from the file published, so that every launcher takes the new one.
    const std::wstring path = SitePath(site, kKeysFile);
    long long previous = 0;
    std::string bytes;
    if (ReadFileBytes(path, bytes)) {
        KeyValueStore published;
        published.LoadText(bytes);
        previous = ParseIndexSerial(published.GetValue("PATHS", "SERIAL"));
        if (previous < 0 || previous >= kMaxSerial) {
            reporter.Error(std::string(kKeysFile) + ": [PATHS] SERIAL is no decimal number below " +
                           std::to_string(kMaxSerial) + ": set it to the last SERIAL published");
            return kPublishFailed;
        }
    }
    const std::string serial = std::to_string(previous + 1);
    const std::string expires = ExpiryAhead(expiryDays);
    std::string text = "[PATHS]\r\nROLE=" + std::string(kKeysRole) + "\r\nSERIAL=" + serial + "\r\nEXPIRES=" + expires +
                       "\r\n[KEYS]\r\n";
    for (size_t i = 0; i < online.size(); ++i)
        text += "ONLINE" + (i == 0 ? std::string() : std::to_string(i + 1)) + "=" + online[i] + "\r\n";
    const std::string rootText = PublicKeyText(root);
    const std::string nextRootText = nextRootPath.empty() ? std::string() : PublicKeyText(nextRoot);
    if (!nextRootText.empty())
        text += "NEXT_ROOT=" + nextRootText + "\r\n";
    // Each signature is checked the way the launcher will check it.
    StagedFiles staged(site);
    std::string error;
    const std::pair<const SigningKey*, const char*> signers[] = {{&root, ".sig"},
                                                                 {nextRootText.empty() ? nullptr : &nextRoot, ".next.sig"}};
    for (const auto& signer : signers) {
        if (!signer.first)
            continue;
        const std::string signature = SignData(*signer.first, text);
        PublicKey verifier;
        if (signature.empty() || !ParsePublicKey(PublicKeyText(*signer.first), verifier) ||
            !VerifySignature(verifier, text, signature)) {
            reporter.Error(std::string("the platform could not sign ") + kKeysFile);
            return kPublishFailed;
        }
        if (!staged.Stage(path + WideFromUtf8(signer.second), signature, error)) {
            reporter.Error(error + "; nothing written");
            return kPublishFailed;
        }
    }
    if (!staged.Stage(path, text, error) || !staged.Commit(error)) {
        reporter.Error(error + "; nothing written");
        return kPublishFailed;
    }
    // A successor's signature of an earlier keys file means nothing beside this one.
    if (nextRootText.empty())
        DeleteFileW((path + L".next.sig").c_str());
    reporter.Line(std::string(kKeysFile) + ": [PATHS] SERIAL=" + serial + ", EXPIRES=" + expires + ", " +
                  std::to_string(online.size()) + " online key" + (online.size() == 1 ? "" : "s"));
    reporter.Line("ROOT=" + rootText);
    if (!nextRootText.empty())
        reporter.Line("NEXT_ROOT=" + nextRootText + ": launchers take it as their root once they read this file");
    return kPublishDone;
}

} // namespace publish_commands
