// The launcher's process-wide state (folders, server addresses and the
// maker's key from server.dat, the settings store, the catalogue lists) and
// how start-up fills it. The application object owns one; tests build their own.
#pragma once

#include "format/ServerFile.h"
#include "format/SoftwareRecord.h"
#include "net/Crypto.h"
#include "store/KeyValueStore.h"

#include <mutex>
#include <string>
#include <vector>

/// Longest time all the catalogue fetches of one start may take together
/// (every file, signature, redirect and attempt): past it the last verified
/// list stays, and the status line says the list could not be updated.
constexpr unsigned long long kCatalogueFetchLimitMs = 60000;

struct LauncherState {
    // Narrow members are UTF-8 (see store/Text.h); all are built from the
    // wide environment and the module path.
    std::string m_appDataRoot;        // APPDATA, no trailing backslash
    std::wstring m_appDataRootW;
    std::string m_dataFolder;         // <APPDATA>\<program name>\ (UTF-8)
    std::wstring m_dataFolderW;
    std::string m_programFolder;      // executable's folder, UTF-8, trailing backslash
    std::wstring m_programFolderW;
    std::string m_serverSettingsFile; // server.dat, in the program folder or index_deps
    std::string m_indexUrl;
    std::string m_repositoryUrl;
    // The maker's key ([SIGNATURE] KEY= of server.dat). When one is named,
    // every catalogue file must carry its signature; a KEY that is no P-256
    // key still asks for signatures, and none then verifies.
    bool m_signaturesRequired = false;
    PublicKey m_makerKey;
    MakerTrust m_trust;
    // With a ROOT in server.dat: the root in use (server.dat's, or its
    // successor kept in the settings), and the online keys of the keys file
    // the catalogue worker took, which sign the catalogue files.
    PublicKey m_currentRoot;
    std::vector<PublicKey> m_onlineKeys;
    std::string m_keysUrl;
    unsigned long long m_catalogueFetchLimitMs = kCatalogueFetchLimitMs; // tests shorten it
    KeyValueStore m_settings;         // HKCU\software\<program name>\index
    // The build this launcher is (the executable's MORVINDEX_BUILD); 0 in a
    // state built by a test that does not say.
    int m_launcherBuild = 0;
    // What the start-up did about the launcher's own files, for the status
    // line once the catalogue is in ("" for nothing).
    std::string m_launcherNotice;
    std::vector<SoftwareRecord> m_catalogue;
    std::string m_catalogueExpires; // [PATHS] EXPIRES of the index m_catalogue was read from
    // Orders the installed-state writes of the UI thread (install, uninstall,
    // favourite) against the reads of the invocation worker, which takes a
    // copy of the record it launches.
    mutable std::mutex m_recordsLock;
    std::vector<std::wstring> m_categories;
    std::vector<std::string> m_servers;
};

/// UsableMakerKey of the state's server.dat.
bool HasUsableMakerKey(const LauncherState& state);


/// Host of the maker's support server used by the default addresses.
extern const char* const kSupportServer;
extern const char* const kDefaultIndexPath;      // "/software_qel/morvindex/sw_index.dat"
extern const char* const kDefaultRepositoryPath; // "/software_qel/morvindex/sw_repo.dat"

/// server.dat as FindBesideProgram finds it; when neither exists, in the
/// index_deps folder if there is one (the file may not exist yet), else in
/// the program folder.
std::wstring ChooseServerSettingsFile(const std::wstring& programFolder);

/// Index and repository addresses: the defaults, then "URL" of SERVER and
/// REPOSITORY in serverFile, then non-empty DOWNLOAD_URL and REPOSITORY_URL of
/// the settings' global section.
void SettleServerUrls(const KeyValueStore& serverFile, const KeyValueStore& settings,
                      std::string& indexUrl, std::string& repositoryUrl);

/// Fills the folder and address members for a program, as the application
/// object does at start-up (the settings store must already be loaded).
void InitialiseLauncherState(LauncherState& state, const std::wstring& programName,
                             const std::wstring& fullProgramPath);
