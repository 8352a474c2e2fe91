#include "launcher/LauncherState.h"

#include "launcher/ProgramIdentity.h"
#include "store/AtomicFile.h"
#include "store/Text.h"

#include <cstring>

#include <filesystem>

namespace fs = std::filesystem;

const char* const kSupportServer = "support.morvindex.example";
const char* const kDefaultIndexPath = "/software_qel/morvindex/sw_index.dat";
const char* const kDefaultRepositoryPath = "/software_qel/morvindex/sw_repo.dat";

namespace {

bool Exists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error) && !error;
}

} // namespace

std::wstring ChooseServerSettingsFile(const std::wstring& programFolder)
{
    std::wstring file = programFolder + L"server.dat";
    if (!Exists(file) && Exists(programFolder + L"index_deps"))
        file = programFolder + L"index_deps\\server.dat";
    return file;
}

void SettleServerUrls(const KeyValueStore& serverFile, const KeyValueStore& settings,
                      std::string& indexUrl, std::string& repositoryUrl)
{
    indexUrl = std::string("http://") + kSupportServer + kDefaultIndexPath;
    repositoryUrl = std::string("http://") + kSupportServer + kDefaultRepositoryPath;
    if (serverFile.HasKey("SERVER", "URL"))
        indexUrl = serverFile.GetValue("SERVER", "URL");
    if (serverFile.HasKey("REPOSITORY", "URL"))
        repositoryUrl = serverFile.GetValue("REPOSITORY", "URL");
    std::string download = settings.GetValue(KeyValueStore::kGlobal, "DOWNLOAD_URL");
    if (!download.empty())
        indexUrl = download;
    std::string repository = settings.GetValue(KeyValueStore::kGlobal, "REPOSITORY_URL");
    if (!repository.empty())
        repositoryUrl = repository;
}

std::string ServerFileText(const std::string& bytes)
{
    std::string text = bytes;
    const auto starts = [&bytes](const char* mark) { return bytes.compare(0, strlen(mark), mark) == 0; };
    const bool littleEndian = starts("\xFF\xFE") || (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0);
    const bool bigEndian = starts("\xFE\xFF") || (bytes.size() >= 2 && bytes[0] == 0 && bytes[1] != 0);
    if (littleEndian || bigEndian) {
        std::wstring wide;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const unsigned char low = static_cast<unsigned char>(bytes[i + (bigEndian ? 1 : 0)]);
            const unsigned char high = static_cast<unsigned char>(bytes[i + (bigEndian ? 0 : 1)]);
            wide += static_cast<wchar_t>(low | (high << 8));
        }
        if (!wide.empty() && wide[0] == 0xFEFF)
            wide.erase(0, 1);
        text = Utf8FromWide(wide);
    } else if (starts("\xEF\xBB\xBF")) {
        text.erase(0, 3);
    }
    // A CR alone ends a line too.
    std::string lines;
    lines.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        lines += text[i];
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
            lines += '\n';
    }
    return lines;
}

void ReadMakerKey(const std::string& serverFileText, bool& required, PublicKey& key, std::string* keyTextOut,
                  MakerTrust* trust)
{
    const auto trim = [](std::string text) {
        const char* blanks = " \t\r\n\v\f";
        text.erase(0, text.find_first_not_of(blanks) == std::string::npos ? text.size()
                                                                          : text.find_first_not_of(blanks));
        text.erase(text.find_last_not_of(blanks) + 1);
        return text;
    };
    required = false;
    key = PublicKey();
    bool inSignature = false;
    std::string keyText, rootText;
    int keyLines = 0, rootLines = 0;
    size_t start = 0;
    while (start < serverFileText.size()) {
        size_t end = serverFileText.find('\n', start);
        if (end == std::string::npos)
            end = serverFileText.size();
        std::string line = trim(serverFileText.substr(start, end - start));
        start = end + 1;
        if (line.empty())
            continue;
        const bool opens = line.front() == '[';
        const size_t close = line.find(']');
        const size_t equals = line.find('=');
        if (opens || (close != std::string::npos && equals == std::string::npos)) {
            // A header, or what a hand edit left of one.
            std::string name = trim(line.substr(opens ? 1 : 0, close == std::string::npos ? std::string::npos
                                                                                           : close - (opens ? 1 : 0)));
            inSignature = UpperAscii(name) == "SIGNATURE";
            required = required || inSignature;
            continue;
        }
        const std::string name = UpperAscii(trim(line.substr(0, equals)));
        if (name != "KEY" && name != "ROOT")
            continue;
        // A KEY or ROOT line anywhere asks for signatures; only the signature
        // section's may be the key.
        required = true;
        ++(name == "KEY" ? keyLines : rootLines);
        if (inSignature)
            (name == "KEY" ? keyText : rootText) = equals == std::string::npos ? std::string() : trim(line.substr(equals + 1));
    }
    // Two lines of one kind leave the choice to whoever added the second:
    // neither is trusted.
    std::string problem;
    if (keyLines > 1 || rootLines > 1) {
        problem = std::string("server.dat contiene ") + (keyLines > 1 ? "due righe KEY=" : "due righe ROOT=") +
                  ": nessuna chiave \xC3\xA8 considerata valida";
        keyText.clear();
        rootText.clear();
    }
    if (required && !keyText.empty())
        ParsePublicKey(keyText, key);
    if (keyTextOut)
        *keyTextOut = keyText;
    if (trust) {
        *trust = MakerTrust();
        trust->problem = problem;
        trust->rootText = rootText;
        if (!rootText.empty())
            ParsePublicKey(rootText, trust->root);
        trust->rootNamed = rootLines > 0;
        trust->keyLines = keyLines;
        trust->rootLines = rootLines;
    }
}

void InitialiseLauncherState(LauncherState& state, const std::wstring& programName,
                             const std::wstring& fullProgramPath)
{
    // Every folder is built from the wide environment: the narrow one holds
    // the ANSI code page, which cannot spell every user name.
    const wchar_t* wideRoot = _wgetenv(L"APPDATA");
    state.m_appDataRootW = wideRoot ? wideRoot : L"";
    state.m_dataFolderW = state.m_appDataRootW + L"\\" + programName + L"\\";
    state.m_appDataRoot = Utf8FromWide(state.m_appDataRootW);
    state.m_dataFolder = Utf8FromWide(state.m_dataFolderW);
    {
        std::error_code error;
        fs::create_directories(fs::path(state.m_dataFolderW), error);
    }

    state.m_programFolderW = FolderOfPath(fullProgramPath);
    state.m_programFolder = Utf8FromWide(state.m_programFolderW);
    state.m_serverSettingsFile = Utf8FromWide(ChooseServerSettingsFile(state.m_programFolderW));

    std::string serverBytes;
    ReadFileBytes(WideFromUtf8(state.m_serverSettingsFile), serverBytes);
    const std::string serverText = ServerFileText(serverBytes);
    KeyValueStore serverFile;
    serverFile.LoadText(serverText, 10);
    SettleServerUrls(serverFile, state.m_settings, state.m_indexUrl, state.m_repositoryUrl);
    ReadMakerKey(serverText, state.m_signaturesRequired, state.m_makerKey, nullptr, &state.m_trust);
}

bool UsableMakerKey(bool signaturesRequired, const PublicKey& key, const MakerTrust& trust)
{
    return signaturesRequired && trust.problem.empty() && (!key.Empty() || !trust.root.Empty());
}

bool HasUsableMakerKey(const LauncherState& state)
{
    return UsableMakerKey(state.m_signaturesRequired, state.m_makerKey, state.m_trust);
}
