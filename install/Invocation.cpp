// A start request taken up: its launch file written, the program started
// or installed first.
#include "install/Invocation.h"

#include "environment/DataFolder.h"
#include "resources/resource.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace {
// Activation and deactivation may both find a request; one request must be
// consumed and started only once.
std::mutex g_processing;

const wchar_t* const kWorkingFile = L"gogo.morvindex";
// The request that was taken up but could not be removed, kept across starts.
const wchar_t* const kTakenFile = L"taken.morvindex";

// What identifies a request file: its content and last-write time.
struct RequestMark {
    std::string content;
    FILETIME written = {};
};

std::string TimeText(const FILETIME& time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%08lX%08lX\r\n", static_cast<unsigned long>(time.dwHighDateTime),
                  static_cast<unsigned long>(time.dwLowDateTime));
    return text;
}

bool ReadRequest(const std::wstring& path, RequestMark& mark)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) ||
        (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    mark.written = attributes.ftLastWriteTime;
    return ReadFileBytes(path, mark.content);
}

// The taken file holds the time line, then the request's bytes.
bool AlreadyTaken(const std::wstring& dataFolder, const RequestMark& mark)
{
    std::string taken;
    return ReadFileBytes(dataFolder + kTakenFile, taken) && taken == TimeText(mark.written) + mark.content;
}

void RememberTaken(const std::wstring& dataFolder, const RequestMark& mark)
{
    ReplaceFileContent(dataFolder + kTakenFile, TimeText(mark.written) + mark.content);
}

// Takes the waiting request into content, exactly once. It is moved to the
// working copy in one step, so a request written meanwhile stays for the next
// round; one that cannot be moved (held open by another program) is read in
// place and remembered on disk, so no later round and no restart takes it up
// again.
bool TakeRequest(const std::wstring& dataFolder, std::string& content)
{
    const std::wstring request = dataFolder + kInvocationFileName;
    const std::wstring working = dataFolder + kWorkingFile;
    if (!MoveFileExW(request.c_str(), working.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return false;
        // A read-only working copy left behind cannot be replaced: clear it.
        SetFileAttributesW(working.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(working.c_str());
        if (!MoveFileExW(request.c_str(), working.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            RequestMark mark;
            if (!ReadRequest(request, mark) || AlreadyTaken(dataFolder, mark))
                return false;
            RememberTaken(dataFolder, mark);
            SetFileAttributesW(request.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(request.c_str());
            content = mark.content;
            return true;
        }
    }
    return ReadFileBytes(working, content);
}

} // namespace

bool RequestWaiting(const LauncherState& state)
{
    RequestMark mark;
    return ReadRequest(state.m_dataFolderW + kInvocationFileName, mark) && !AlreadyTaken(state.m_dataFolderW, mark);
}

void ProcessInvocation(const LauncherState& state, InvocationHost& host)
{
    std::lock_guard<std::mutex> hold(g_processing);
    if (!RequestWaiting(state))
        return;
    if (!host.WaitCatalogueReady())
        return;
    // Neither a start in the middle of the copies nor a second installation
    // of the same program: the request waits for the one that runs.
    if (!host.WaitInstallationEnd())
        return;
    // Another round may have taken the request while this one waited.
    std::string content;
    if (!TakeRequest(state.m_dataFolderW, content))
        return;
    KeyValueStore data;
    data.LoadText(content);

    std::string name;
    bool updateRequested = false;
    if (data.HasKey(KeyValueStore::kGlobal, "SW_CODE")) {
        name = UpperAscii(data.GetValue(KeyValueStore::kGlobal, "SW_CODE"));
        if (IsSafeFileName(name)) {
            // The launch file is written only for a program that starts now
            // or after the update the user accepted.
            const std::wstring launchFile = LaunchFilePath(state.m_dataFolderW, name);
            const auto writeLaunchFile = [&launchFile, &content] {
                return ReplaceFileContent(launchFile, content) ? Utf8FromWide(launchFile) : std::string();
            };
            LaunchProgramWith(writeLaunchFile, name, state, host, updateRequested);
        } else {
            // A code that is no file name names no program either: it never
            // becomes a path.
            host.Notify(FormatText(host.Text(IDS_NOT_INSTALLED), WideFromUtf8(name)), host.Text(IDS_UPDATE_CAPTION));
        }
    }
    const std::wstring working = state.m_dataFolderW + kWorkingFile;
    SetFileAttributesW(working.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(working.c_str());
    if (updateRequested)
        host.RequestInstall(name);
    host.Invalidate();
}
