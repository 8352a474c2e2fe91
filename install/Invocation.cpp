#include "install/Invocation.h"

#include "resources/resource.h"
#include "store/FileNames.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <windows.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {
// Activation and deactivation start a thread each; one request must be
// consumed and started only once.
std::mutex g_processing;
} // namespace

void ProcessInvocation(const LauncherState& state, InvocationHost& host)
{
    std::lock_guard<std::mutex> hold(g_processing);
    const std::wstring request = state.m_dataFolderW + L"invoke.morvindex";
    const std::wstring working = state.m_dataFolderW + L"gogo.morvindex";
    std::error_code error;
    if (!fs::exists(request, error))
        return;
    if (!host.WaitCatalogueReady())
        return;
    // Another thread may have taken the request while this one waited.
    if (!fs::exists(request, error))
        return;

    CopyFileW(request.c_str(), working.c_str(), FALSE);
    DeleteFileW(request.c_str());
    KeyValueStore data;
    data.LoadFile(working);

    std::string name;
    bool updateRequested = false;
    if (data.HasKey(KeyValueStore::kGlobal, "SW_CODE")) {
        name = UpperAscii(data.GetValue(KeyValueStore::kGlobal, "SW_CODE"));
        if (IsSafeFileName(name)) {
            std::wstring launchFile = state.m_dataFolderW + WideFromUtf8(name) + L"invoke.dat";
            std::string argument = CopyFileW(working.c_str(), launchFile.c_str(), FALSE) ? Utf8FromWide(launchFile) : "";
            LaunchProgram(argument, name, state, host, updateRequested);
        } else {
            // A code that is no file name names no program either: it never
            // becomes a path.
            host.Notify(FormatText(host.Text(IDS_NOT_INSTALLED), WideFromUtf8(name)), host.Text(IDS_UPDATE_CAPTION));
        }
    }
    DeleteFileW(working.c_str());
    if (updateRequested)
        host.RequestInstall(name);
    host.Invalidate();
}
