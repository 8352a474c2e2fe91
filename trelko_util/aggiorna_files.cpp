// The library's exports: aggiorna_files, one archive as one step, and the
// installation step of several archives that its caller concludes once it has
// recorded the step (aggiorna_passo, concludi_passo, passo_in_sospeso).
#include "trelko_util/Exports.h"

#include "store/Text.h"
#include "trelko_util/FolderSync.h"

#include <windows.h>

#include <algorithm>

namespace {

// The export's paths come in the ANSI code page, as its callers have always
// passed them; everything inside is wide. False when text does not convert.
bool WideArgument(const char* text, std::wstring& wide)
{
    wide = ::WideFromAnsi(text);
    return !*text || !wide.empty();
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
        if (!WideArgument(archive, wideArchive) || !WideArgument(staging, wideStaging) ||
            !WideArgument(destination, wideDestination))
            return false;
        XcopyCopier copier;
        return UpdateFolderFromArchive(wideArchive, wideStaging, wideDestination, (compareContent & 0xFF) != 0,
                                       copier);
    } catch (...) {
        return false;
    }
}

extern "C" int __cdecl aggiorna_passo(const char* const* archives, int count, const char* staging,
                                      const char* destination, int mode, const volatile long* stop, const char* tag,
                                      int* failedArchive, void(__cdecl* progress)(void* context, int archive),
                                      void* context)
{
    try {
        if (failedArchive)
            *failedArchive = -1;
        if (!archives || count <= 0 || !staging || !destination)
            return static_cast<int>(SyncResult::BadArguments);
        SyncStep step;
        for (int i = 0; i < count; ++i) {
            std::wstring archive;
            if (!archives[i] || !WideArgument(archives[i], archive)) {
                if (failedArchive)
                    *failedArchive = i;
                return static_cast<int>(SyncResult::ArchiveRefused);
            }
            step.archives.push_back(archive);
        }
        if (!WideArgument(staging, step.staging) || !WideArgument(destination, step.destination))
            return static_cast<int>(SyncResult::BadArguments);
        step.compareContent = (mode & kStepCompareContent) != 0;
        step.repair = (mode & kStepRepair) != 0;
        step.stop = stop;
        step.tag = tag ? tag : "";
        step.leavePending = true;
        if (progress)
            step.onArchive = [progress, context](int archive) { progress(context, archive); };
        XcopyCopier copier(stop);
        return static_cast<int>(SynchroniseStep(step, copier, failedArchive));
    } catch (...) {
        return static_cast<int>(SyncResult::CopyFailed);
    }
}

extern "C" bool __cdecl concludi_passo(const char* staging, int keep)
{
    try {
        std::wstring wideStaging;
        return staging && WideArgument(staging, wideStaging) && !wideStaging.empty() &&
               ConcludeStep(wideStaging, keep != 0);
    } catch (...) {
        return false;
    }
}

extern "C" bool __cdecl passo_in_sospeso(const char* staging, char* tag, int size)
{
    try {
        std::wstring wideStaging;
        std::string pendingTag;
        if (!staging || !WideArgument(staging, wideStaging) || wideStaging.empty() ||
            !PendingStep(wideStaging, pendingTag))
            return false;
        if (tag && size > 0) {
            const size_t length = std::min(pendingTag.size(), static_cast<size_t>(size - 1));
            pendingTag.copy(tag, length);
            tag[length] = '\0';
        }
        return true;
    } catch (...) {
        return false;
    }
}
