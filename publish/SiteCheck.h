// Reading a site as the launcher would, to find before the users do what
// would keep a program from being listed or installed.
#pragma once

#include <string>
#include <vector>

struct SiteReport {
    /// One line per problem: "<file>: [SECTION] KEY: what is wrong".
    std::vector<std::string> problems;
    /// What could not be checked (an archive at an address outside the site).
    std::vector<std::string> notes;
    /// The problems (also in problems) of entries files that match their
    /// ENTRIES_ keys but do not map their archives as they are: sign refuses
    /// such a site.
    std::vector<std::string> misleadingEntries;
};

/// Checks the catalogue files of site and everything they point to below
/// BASE. With a key (the KEY= text of server.dat, "KEY=" optional), the
/// signatures of both catalogue files and the index's SERIAL are checked too.
/// With a root (the ROOT= text of server.dat), sw_keys.dat is checked against
/// it and the catalogue files against the online keys it lists, as a
/// launcher with that server.dat reads them; key is then not used.
SiteReport CheckSite(const std::wstring& site, const std::string& key = std::string(),
                     const std::string& root = std::string());

/// The key text of a --key argument: the text itself, or the [SIGNATURE]
/// KEY of the server.dat file it names, read as the launcher reads it;
/// problem, when given, says why a file that names a key twice is unusable.
/// root, when given, gets the file's ROOT= (or the argument's, written "ROOT=...").
std::string KeyArgument(const std::string& argument, std::string* problem = nullptr, std::string* root = nullptr);
