// Bringing the index (sw_index.dat) and repository (sw_repo.dat) files of the
// data folder up to date, with a backup, three attempts and REDIRECT records.
#pragma once

#include "catalogue/CatalogueSink.h"
#include "launcher/LauncherState.h"

#include <string>

/// How many REDIRECT records one call follows before it gives up as if every
/// download had failed.
constexpr int kMaxRedirects = 10;

/// Status text before an attempt: "Download index file..." (or repository),
/// with "[n chance]" from the second attempt on.
std::string FetchStatusText(const std::string& name, int attempt);

/// Keeps the previous copy as <file>.bak, downloads a fresh one (three
/// attempts), follows a REDIRECT record found in its first 10 lines, and falls
/// back to the backup when every attempt fails. Returns the local path, which
/// may not exist afterwards.
std::string FetchCatalogueFile(const std::string& name, LauncherState& state, CatalogueSink& sink);
