// The library's one export.
#include "trelko_util/FolderSync.h"

#include <windows.h>

namespace {

// The export's paths come in the ANSI code page, as its callers have always
// passed them; everything inside is wide.
bool WideFromAnsi(const char* text, std::wstring& wide)
{
    wide.clear();
    if (!*text)
        return true;
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0)
        return false;
    wide.assign(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], size) != size)
        return false;
    wide.resize(static_cast<size_t>(size - 1));
    return true;
}

} // namespace

extern "C" bool __cdecl aggiorna_files(const char* archive, const char* staging, const char* destination,
                                       int compareContent)
{
    // Nothing may cross the boundary as an exception.
    try {
        if (!archive || !staging || !destination)
            return false;
        std::wstring wideArchive, wideStaging, wideDestination;
        if (!WideFromAnsi(archive, wideArchive) || !WideFromAnsi(staging, wideStaging) ||
            !WideFromAnsi(destination, wideDestination))
            return false;
        XcopyCopier copier;
        return UpdateFolderFromArchive(wideArchive, wideStaging, wideDestination, (compareContent & 0xFF) != 0,
                                       copier);
    } catch (...) {
        return false;
    }
}
