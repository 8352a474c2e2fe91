#include "catalogue/ServerChoice.h"

#include "launcher/LauncherState.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

namespace {

void AppendSection(std::string& text, const std::string& header, const KeyValueSection& section)
{
    text += "\r\n[" + header + "]\r\n";
    for (const auto& entry : section.Items())
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
    ReadMakerKey(fileText, signaturesRequired, ignored, &keyText);
    std::string text;
    if (signaturesRequired) {
        text = "[SIGNATURE]\r\nKEY=" + keyText + "\r\n";
        if (const KeyValueSection* signature = settings.FindSection("SIGNATURE"))
            for (const auto& entry : signature->Items())
                if (entry.first != "KEY")
                    text += entry.first + "=" + entry.second + "\r\n";
    }
    text += "[SERVER]\r\nURL=" + url + "\r\n";
    if (const KeyValueSection* server = settings.FindSection("SERVER"))
        for (const auto& entry : server->Items())
            if (entry.first != "URL")
                text += entry.first + "=" + entry.second + "\r\n";
    // Global entries no longer come first, so they get their section's header.
    if (const KeyValueSection* global = settings.FindSection(KeyValueStore::kGlobal))
        if (!global->Items().empty())
            AppendSection(text, KeyValueStore::kGlobal, *global);
    for (const auto& entry : settings.AllSections())
        if (entry.first != "SERVER" && entry.first != "SIGNATURE" && entry.first != KeyValueStore::kGlobal)
            AppendSection(text, entry.first, entry.second);
    return ReplaceFileContent(WideFromUtf8(serverSettingsFile), text);
}
