// The library's one export.
#include "trelko_util/FolderSync.h"

extern "C" bool __cdecl aggiorna_files(const char* archive, const char* staging, const char* destination,
                                       int compareContent)
{
    // Nothing may cross the boundary as an exception.
    try {
        if (!archive || !staging || !destination)
            return false;
        XcopyCopier copier;
        return UpdateFolderFromArchive(archive, staging, destination, (compareContent & 0xFF) != 0, copier);
    } catch (...) {
        return false;
    }
}
