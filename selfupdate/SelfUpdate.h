// The launcher keeps itself current: a build the signed index offers for the
// launcher's own width is fetched like a program's archive, and put in place
// at the next start, before the window opens; the new build must prove
// itself (start, load the library, show its window) or the previous one
// comes back and the build is never tried again.
#pragma once

#include "catalogue/CatalogueSink.h"
#include "format/SoftwareRecord.h"
#include "environment/LauncherState.h"
#include "format/LauncherImage.h"

#include <string>
#include <vector>

/// The settings' global key listing builds that failed to prove themselves.
extern const char* const kBadLauncherBuildsKey; // "LAUNCHER_BAD_BUILDS"

/// The builds of a LAUNCHER_BAD_BUILDS value ("9,12"); anything else is skipped.
std::vector<int> ParseBuildList(const std::string& text);
/// The list with build added (once).
std::string AddToBuildList(const std::string& text, int build);

/// A launcher build the index offers, and what its archive must match.
struct LauncherOffer {
    int build = 0;
    std::string address;
    std::string sha256;
    int64_t size = -1;
};

enum class OfferDecision {
    Nothing, // no offer, the same build, a build that failed before, no key
    Fetch,   // a newer build to fetch
    Refused, // an offer that must not be taken: why says it in one status line
};

/// What to do with the catalogue's offer for a launcher of width at
/// runningBuild. Without the maker's key nothing is ever taken.
OfferDecision DecideLauncherOffer(const std::vector<SoftwareRecord>& catalogue, ImageWidth width, int runningBuild,
                                  const std::vector<int>& badBuilds, bool keyed, LauncherOffer& offer,
                                  std::string& why);

/// A fetched build waiting for the next start: "<data folder>launcher\".
std::wstring LauncherUpdateFolder(const LauncherState& state);

/// True when a file can be created in folder (ends with a backslash): the
/// launcher can replace its own files there.
bool FolderWritable(const std::wstring& folder);

/// After the catalogue is built: fetches the launcher build that catalogue
/// (the one just accepted, whose index's EXPIRES is expires) offers, when
/// there is one to take, into LauncherUpdateFolder, for the next start; an
/// out-of-date catalogue offers nothing. Returns the status line to show
/// ("" for none).
std::string FetchLauncherUpdate(LauncherState& state, const std::vector<SoftwareRecord>& catalogue,
                                const std::string& expires, const CatalogueSink& sink);

/// What the start-up did about the launcher's own files.
struct LauncherStart {
    bool handedOver = false; // the new build runs now: this process ends
    bool onTrial = false;    // this process is a new build that must still prove itself
    std::string notice;      // one status line for the window ("" for none)
};

/// At start, before the window: finishes or undoes a step the last run left,
/// and puts a fetched build in place, starting it with this command line and
/// watching it prove itself within proofMs. programFile is the running
/// program's file name. Settings (the bad builds) are changed in state.
LauncherStart SettleLauncherFiles(LauncherState& state, const std::wstring& programFile, unsigned proofMs);

/// On a new build's trial, once its window shows and its library is loaded:
/// notes the step proven and tells the process that watches, if any.
void ProveLauncher(const LauncherState& state);

/// The environment variable through which a watching process names the event
/// its new build sets once proven.
extern const wchar_t* const kProofEventVariable;
