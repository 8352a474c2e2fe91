// The reader behind CheckSite: one pass over a site's catalogue files and
// everything they point to, as the launcher reads them. Its walk of the index,
// the archives and the files beside them is in SiteCheck.cpp; its checks of
// the catalogue files themselves (lines, REDIRECT, server list, signatures,
// the keys file, SERIAL, ROLE and EXPIRES) in CatalogueFileCheck.cpp.
#pragma once

#include "format/SoftwareRecord.h"
#include "net/Crypto.h"
#include "publish/ArchiveCheck.h"
#include "publish/SiteCheck.h"
#include "store/KeyValueStore.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

class SiteChecker {
public:
    /// key and root as CheckSite takes them.
    SiteChecker(const std::wstring& site, const std::string& key, const std::string& root)
        : m_site(site), m_key(key.empty() && !root.empty() ? "ROOT=" + root : key), m_root(root)
    {
    }

    /// Checks the whole site once.
    SiteReport Run();

private:
    /// "<file>: [SECTION] KEY: ", the start of a line of the report.
    static std::string Where(const std::string& file, const std::string& section, const std::string& key);
    /// Adds a line to the report's problems.
    void Problem(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& text);

    // ---- the catalogue files (CatalogueFileCheck.cpp) ----
    /// The launcher stops a download over its limit and keeps what it had.
    bool WithinLimit(const std::string& file, uint64_t size, uint64_t limit);
    bool ReadCatalogueFile(const char* name, std::string& bytes);
    /// The launcher's reading of a catalogue file: a line over kMaxLineBytes
    /// ends it, and a REDIRECT counts only in the first lines.
    void CheckLinesAndRedirect(const char* file, const std::string& bytes, KeyValueStore& store);
    void CheckRepository(const std::string& bytes);
    void CheckSignatures(bool haveIndex, const std::string& index, bool haveRepository, const std::string& repository);
    /// The root's keys file, read as a launcher that holds this root reads
    /// it: its signature (and the successor's, for a file naming one), ROLE,
    /// SERIAL and EXPIRES. The online keys it lists; none after a problem.
    std::vector<PublicKey> CheckKeysFile();
    /// A signed file's EXPIRES: past or unreadable, the launcher installs
    /// nothing from it; missing or far ahead, a list held back from the
    /// launcher goes unnoticed that long.
    void CheckExpiry(const char* file, const KeyValueStore& store, bool redirect);
    void CheckSerial();

    // ---- the index and what it points to (SiteCheck.cpp) ----
    void CheckIndex(const std::string& bytes);
    void CheckRecord(const SoftwareRecord& record, const std::map<std::string, SoftwareRecord>& records);
    /// A launcher section's archive must hold the build it names, of the
    /// section's width, with a library of that width.
    void CheckLauncherArchive(const SoftwareRecord& record);
    /// The archive of a record, checked; null when it is missing, refused or not in the site.
    const ArchiveContent* CheckArchive(const SoftwareRecord& record, const std::string& addressKey);
    /// The entries file beside an archive must map that archive exactly. One
    /// the launcher cannot use costs a whole-archive fetch; one it trusts but
    /// that maps another archive (a re-zip that kept the ENTRIES_ keys) makes
    /// updates fetch the wrong parts first.
    void CheckEntriesFile(const SoftwareRecord& record, const std::string& relative, const std::wstring& archive);
    void CheckSiteFile(const std::string& name, const char* key, const std::string& address, const FileCheck& check,
                       bool thumbnail);

    const std::wstring m_site;
    const std::string m_key; // non-empty whenever signatures are checked
    const std::string m_root;
    std::set<std::string> m_redirecting; // the catalogue files whose first lines (kRedirectLines) hold a REDIRECT
    SiteReport m_report;
    KeyValueStore m_index;
    KeyValueStore m_repository;
    std::string m_base;
    std::map<std::string, ArchiveContent> m_archives; // by record name, for the archives that passed
};
