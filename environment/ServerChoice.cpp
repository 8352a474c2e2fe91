// server.dat written again with the chosen server first and the rest kept.
#include "environment/ServerChoice.h"

#include "environment/LauncherState.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <algorithm>
#include <functional>

namespace {

/// Appends a section's entries under its header; skip says which entries are
/// not copied. A section with nothing left to copy adds nothing.
void AppendSection(std::string& text, const std::string& header, const KeyValueSection& section,
                   const std::function<bool(const std::string&, const std::string&)>& skip)
{
    std::string entries;
    for (const auto& entry : section.Items())
        if (!skip(entry.first, entry.second))
            entries += entry.first + "=" + entry.second + "\r\n";
    if (!entries.empty())
        text += "\r\n[" + header + "]\r\n" + entries;
}

} // namespace

bool StoreServerChoice(const std::string& serverSettingsFile, const std::string& url)
{
    // Read as the start-up reads it, so that a file saved as UTF-16 or with a
    // byte-order mark keeps its key when it is written again.
    std::string bytes;
    ReadFileBytes(WideFromUtf8(serverSettingsFile), bytes);
    const std::string fileText = ServerFileText(bytes);
    KeyValueStore settings;
    settings.LoadText(fileText);
    // The key as start-up finds it, whatever the header around it looked like
    // ("[ SIGNATURE ]", a bracket missing): lost here, it would leave a KEY
    // outside its section, which refuses every catalogue from then on.
    bool signaturesRequired = false;
    PublicKey ignored;
    std::string keyText;
    MakerTrust trust;
    ReadMakerKey(fileText, signaturesRequired, ignored, &keyText, &trust);
    // The key lines start-up took are written once, here: a copy left where
    // an odd header put it would count as a second one. A file naming a key
    // twice stays unusable (an empty KEY=, the other lines kept).
    const auto isKeyLine = [&keyText, &trust](std::string name, std::string value) {
        // Compared as start-up reads them: blanks around the name and value do not count.
        for (std::string* text : {&name, &value}) {
            text->erase(0, std::min(text->size(), text->find_first_not_of(" \t")));
            text->erase(text->find_last_not_of(" \t") + 1);
        }
        return (name == "KEY" && !keyText.empty() && value == keyText) ||
               (name == "ROOT" && !trust.rootText.empty() && value == trust.rootText);
    };
    // Start-up takes the addresses from the first kServerFileLines lines, so
    // the chosen URL, the repository's and the maker's key (at most seven
    // lines) come first; everything else the file holds follows and is kept,
    // a section named again where its other entries go.
    std::string text = "[SERVER]\r\nURL=" + url + "\r\n";
    const bool hasRepository = settings.HasKey("REPOSITORY", "URL");
    if (hasRepository)
        text += "[REPOSITORY]\r\nURL=" + settings.GetValue("REPOSITORY", "URL") + "\r\n";
    if (signaturesRequired) {
        text += "[SIGNATURE]\r\n";
        if (!keyText.empty() || trust.rootText.empty())
            text += "KEY=" + keyText + "\r\n";
        if (!trust.rootText.empty())
            text += "ROOT=" + trust.rootText + "\r\n";
    }
    const auto isStartupLine = [&](const std::string& section, const std::string& name, const std::string& value) {
        if (section == "SIGNATURE")
            return name == "KEY" || name == "ROOT";
        return (name == "URL" && (section == "SERVER" || (section == "REPOSITORY" && hasRepository))) ||
               isKeyLine(name, value);
    };
    // Global entries no longer come first, so they get their section's header.
    for (const auto& entry : settings.AllSections()) {
        const std::string& section = entry.first;
        AppendSection(text, section, entry.second, [&section, &isStartupLine](const std::string& name,
                                                                             const std::string& value) {
            return isStartupLine(section, name, value);
        });
    }
    return ReplaceFileContent(WideFromUtf8(serverSettingsFile), text);
}
