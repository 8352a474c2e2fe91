// Start-up's filling of the launcher's state: folders from the wide
// environment, server.dat's addresses and key, the settings' addresses.
#include "environment/LauncherState.h"

#include "environment/ProgramIdentity.h"
#include "environment/ShippedFiles.h"
#include "store/AtomicFile.h"
#include "store/Text.h"


#include <filesystem>

namespace fs = std::filesystem;

const char* const kSupportServer = "support.morvindex.example";
const char* const kDefaultIndexPath = "/software_qel/morvindex/sw_index.dat";
const char* const kDefaultRepositoryPath = "/software_qel/morvindex/sw_repo.dat";

std::wstring ChooseServerSettingsFile(const std::wstring& programFolder)
{
    const std::wstring found = FindBesideProgram(programFolder, kServerFileName);
    if (!found.empty())
        return found;
    // Neither exists yet: the server chosen is written where the shipped files are.
    const std::wstring deps = programFolder + kDepsFolderName;
    return PathExists(deps) ? deps + L"\\" + kServerFileName : programFolder + kServerFileName;
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
    serverFile.LoadText(serverText, kServerFileLines);
    SettleServerUrls(serverFile, state.m_settings, state.m_indexUrl, state.m_repositoryUrl);
    ReadMakerKey(serverText, state.m_signaturesRequired, state.m_makerKey, nullptr, &state.m_trust);
}

bool HasUsableMakerKey(const LauncherState& state)
{
    return UsableMakerKey(state.m_signaturesRequired, state.m_makerKey, state.m_trust);
}
