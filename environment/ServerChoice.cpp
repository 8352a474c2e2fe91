#include "environment/ServerChoice.h"

#include "environment/LauncherState.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <algorithm>
#include <functional>

namespace {

/// Appends a section; skip says which entries are not copied.
void AppendSection(std::string& text, const std::string& header, const KeyValueSection& section,
                   const std::function<bool(const std::string&, const std::string&)>& skip)
{
    text += "\r\n[" + header + "]\r\n";
    for (const auto& entry : section.Items())
        if (!skip(entry.first, entry.second))
            text += entry.first + "=" + entry.second + "\r\n";
}

} // namespace

bool StoreServerChoice(const std::string& serverSettingsFile, const std::string& url)
{
    // Start-up reads only the first ten lines, so the maker's key and the
    // chosen URL come first; everything else the file holds follows and is kept.
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
    std::string text;
    if (signaturesRequired) {
        text = "[SIGNATURE]\r\n";
        if (!keyText.empty() || trust.rootText.empty())
            text += "KEY=" + keyText + "\r\n";
        if (!trust.rootText.empty())
            text += "ROOT=" + trust.rootText + "\r\n";
        if (const KeyValueSection* signature = settings.FindSection("SIGNATURE"))
            for (const auto& entry : signature->Items())
                if (entry.first != "KEY" && entry.first != "ROOT")
                    text += entry.first + "=" + entry.second + "\r\n";
    }
    text += "[SERVER]\r\nURL=" + url + "\r\n";
    if (const KeyValueSection* server = settings.FindSection("SERVER"))
        for (const auto& entry : server->Items())
            if (entry.first != "URL" && !isKeyLine(entry.first, entry.second))
                text += entry.first + "=" + entry.second + "\r\n";
    // Global entries no longer come first, so they get their section's header.
    if (const KeyValueSection* global = settings.FindSection(KeyValueStore::kGlobal))
        if (!global->Items().empty())
            AppendSection(text, KeyValueStore::kGlobal, *global, isKeyLine);
    for (const auto& entry : settings.AllSections())
        if (entry.first != "SERVER" && entry.first != "SIGNATURE" && entry.first != KeyValueStore::kGlobal)
            AppendSection(text, entry.first, entry.second, isKeyLine);
    return ReplaceFileContent(WideFromUtf8(serverSettingsFile), text);
}
