#include "catalogue/CatalogueFiles.h"

#include "net/HttpTransfer.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(fs::path(WideFromUtf8(path)), error);
}

bool CopyOver(const std::string& from, const std::string& to)
{
    return CopyFileW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(), FALSE) != FALSE;
}

void Remove(const std::string& path)
{
    std::error_code error;
    fs::remove(fs::path(WideFromUtf8(path)), error);
}

} // namespace

std::string FetchStatusText(const std::string& name, int attempt)
{
    std::string text = name == "sw_index" ? "Download index file..." : "Download repository file...";
    if (attempt >= 1)
        text += "[" + std::to_string(attempt) + " chance]";
    return text;
}

std::string FetchCatalogueFile(const std::string& name, LauncherState& state, CatalogueSink& sink)
{
    const bool isIndex = name == "sw_index";
    std::string& sourceUrl = isIndex ? state.m_indexUrl : state.m_repositoryUrl;
    const std::string local = state.m_dataFolder + name + ".dat";
    const std::string backup = local + ".bak";

    if (Exists(local)) {
        // Without a backup the local copy is the only catalogue left: it is
        // kept and used as it is.
        if (!CopyOver(local, backup))
            return local;
        Remove(local);
    }
    // A copy that cannot be removed (held open elsewhere) is used as it is.
    if (Exists(local))
        return local;

    int attempt = 0;
    int redirects = 0;
    bool done = false;
    bool restoreAllowed = true;
    while (!done && attempt < 3) {
        sink.SetStatusText(FetchStatusText(name, attempt));
        done = Exists(local) || DownloadToFile(sourceUrl, local);
        // The program may be ending while a download ran: touch no shared state.
        if (sink.Cancelled())
            return local;
        if (done) {
            KeyValueStore head;
            head.LoadFile(local, 10);
            std::string redirect = head.GetValue("REDIRECT", "URL", "");
            if (!redirect.empty()) {
                done = false;
                Remove(local);
                if (++redirects > kMaxRedirects) {
                    attempt = 2; // give up as if every download had failed
                } else {
                    attempt = 0;
                    sourceUrl = redirect;
                }
            }
        }
        ++attempt;
        if (attempt > 2 && !done && restoreAllowed) {
            restoreAllowed = false;
            if (!Exists(local) && Exists(backup)) {
                CopyOver(backup, local);
                --attempt; // one more pass checks the restored copy
            }
        }
    }
    return local;
}
