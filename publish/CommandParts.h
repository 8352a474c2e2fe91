// What the maker's commands share: the usage text, putting back what a
// killed command left before another touches the site, --expires, the form
// a catalogue file must have for the launcher to read it, and the stamping of
// its [PATHS] before signing. Each command lives in a file of its own.
#pragma once

#include "publish/Commands.h"
#include "store/AtomicFile.h"

#include <string>
#include <vector>

class DataFileLines;
class KeyValueStore;

namespace publish_commands {

/// What every command prints for arguments it cannot take.
extern const char kUsage[];

/// Days a signed catalogue file stays current when no --expires is given.
constexpr int kDefaultExpiryDays = 30;

/// The EXPIRES text days ahead of now.
std::string ExpiryAhead(int days);

/// --expires DAYS: 1 to 3650 days; false (reported) for anything else.
bool ParseExpiryDays(const std::string& text, int& days, Reporter& reporter);

/// What keeps the launcher from reading a catalogue file's text as the maker
/// sees it: a byte-order mark or UTF-16 (the first line would be lost). "" when none.
std::string TextFormProblem(const std::string& file, const std::string& bytes);

/// The line of a catalogue file where the launcher stops reading (one over
/// kMaxLineBytes), as a refusal; "" when it reads the file whole.
std::string OverlongLineProblem(const std::string& file, const DataFileLines& lines);

/// Sets a catalogue file's [PATHS] for signing: ROLE names the file, SERIAL
/// goes one up, EXPIRES as given. An index must hold a decimal SERIAL
/// already; a repository without one starts at 1. False (error says why) for
/// a file that names another role or whose SERIAL cannot go up.
bool StampCatalogueFile(DataFileLines& lines, const KeyValueStore& store, bool isIndex, bool redirect,
                        const std::string& expires, std::string& serial, std::string& error);

/// A command that ended half-way through putting its files in place (killed,
/// the power cut) is undone before another touches the site; false (reported)
/// when its files cannot all be put back.
bool RecoverSite(const std::wstring& site, Reporter& reporter);

/// The commands, each given the arguments after its name; each returns its exit code.
int RunInit(const std::vector<std::wstring>& arguments, Reporter& reporter);
int RunAdd(const std::vector<std::wstring>& arguments, Reporter& reporter);
int RunLauncher(const std::vector<std::wstring>& arguments, Reporter& reporter);
int RunCheck(const std::vector<std::wstring>& arguments, Reporter& reporter);
/// sign, or with refresh the daily re-signing of files still signed with the key.
int RunSign(const std::vector<std::wstring>& arguments, Reporter& reporter, bool refresh);
int RunKeygen(const std::vector<std::wstring>& arguments, Reporter& reporter);
int RunKeys(const std::vector<std::wstring>& arguments, Reporter& reporter);

} // namespace publish_commands
