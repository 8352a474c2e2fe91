#include "install/Invocation.h"

#include "resources/resource.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <mutex>


namespace {
// Activation and deactivation start a thread each; one request must be
// consumed and started only once.
std::mutex g_processing;

// What identifies a request file: its content and last-write time.
struct RequestMark {
    std::string content;
    FILETIME written = {};
    bool operator==(const RequestMark& other) const
    {
        return content == other.content && CompareFileTime(&written, &other.written) == 0;
    }
};

// The request consumed last, for a request file that could not be deleted
// (read-only, on a share): it is never taken up again.
std::mutex g_consumedLock;
bool g_anyConsumed = false;
RequestMark g_consumed;

bool ReadRequest(const std::wstring& path, RequestMark& mark)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) ||
        (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    mark.written = attributes.ftLastWriteTime;
    return ReadFileBytes(path, mark.content);
}

bool AlreadyConsumed(const RequestMark& mark)
{
    std::lock_guard<std::mutex> hold(g_consumedLock);
    return g_anyConsumed && g_consumed == mark;
}

void Consume(const std::wstring& path, const RequestMark& mark)
{
    {
        std::lock_guard<std::mutex> hold(g_consumedLock);
        g_anyConsumed = true;
        g_consumed = mark;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

} // namespace

bool RequestWaiting(const LauncherState& state)
{
    RequestMark mark;
    return ReadRequest(state.m_dataFolderW + L"invoke.morvindex", mark) && !AlreadyConsumed(mark);
}

void ProcessInvocation(const LauncherState& state, InvocationHost& host)
{
    std::lock_guard<std::mutex> hold(g_processing);
    const std::wstring request = state.m_dataFolderW + L"invoke.morvindex";
    const std::wstring working = state.m_dataFolderW + L"gogo.morvindex";
    if (!RequestWaiting(state))
        return;
    if (!host.WaitCatalogueReady())
        return;
    // Another thread may have taken the request while this one waited; a
    // newer one may have replaced it.
    RequestMark mark;
    if (!ReadRequest(request, mark) || AlreadyConsumed(mark))
        return;

    // The request is read from its own bytes: a stale working copy that
    // cannot be replaced never stands in for it.
    ReplaceFileContent(working, mark.content);
    Consume(request, mark);
    KeyValueStore data;
    data.LoadText(mark.content);

    std::string name;
    bool updateRequested = false;
    if (data.HasKey(KeyValueStore::kGlobal, "SW_CODE")) {
        name = UpperAscii(data.GetValue(KeyValueStore::kGlobal, "SW_CODE"));
        if (IsSafeFileName(name)) {
            std::wstring launchFile = state.m_dataFolderW + WideFromUtf8(name) + L"invoke.dat";
            std::string argument = ReplaceFileContent(launchFile, mark.content) ? Utf8FromWide(launchFile) : "";
            LaunchProgram(argument, name, state, host, updateRequested);
        } else {
            // A code that is no file name names no program either: it never
            // becomes a path.
            host.Notify(FormatText(host.Text(IDS_NOT_INSTALLED), WideFromUtf8(name)), host.Text(IDS_UPDATE_CAPTION));
        }
    }
    SetFileAttributesW(working.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(working.c_str());
    if (updateRequested)
        host.RequestInstall(name);
    host.Invalidate();
}
