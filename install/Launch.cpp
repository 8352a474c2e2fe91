#include "install/Launch.h"

#include "framework/WinApp.h"
#include "install/InstalledState.h"
#include "resources/resource.h"
#include "store/Text.h"

#include <shellapi.h>

bool LaunchHost::ShellOpen(const std::wstring& file, const std::wstring& parameters, const std::wstring& folder)
{
    HINSTANCE result = ShellExecuteW(nullptr, L"open", file.c_str(), parameters.c_str(),
                                     folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

std::wstring LaunchHost::Text(unsigned id) { return AfxLoadString(id); }

std::wstring FormatText(const std::wstring& pattern, const std::wstring& value)
{
    std::wstring text = pattern;
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, value);
    return text;
}

bool LaunchProgram(const std::string& argument, const std::string& name, const LauncherState& state,
                   LaunchHost& host, bool& updateRequested)
{
    const std::wstring caption = host.Text(IDS_UPDATE_CAPTION);
    updateRequested = false;
    // A copy, taken under the records' lock: the UI thread may record an
    // install or uninstall while this runs on the invocation worker.
    SoftwareRecord record;
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        for (const SoftwareRecord& candidate : state.m_catalogue) {
            if (candidate.name == name && candidate.installedBuild > 0) {
                record = candidate;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        host.Notify(FormatText(host.Text(IDS_NOT_INSTALLED), WideFromUtf8(name)), caption);
        return false;
    }
    if (record.programToExecute.empty())
        return false;
    if (InstallState(record) == InstallStatus::UpdateAvailable) {
        // A question nobody could see has no answer: nothing is started.
        if (host.WindowGone())
            return false;
        bool yes = host.AskYesNo(FormatText(host.Text(IDS_UPDATE_QUESTION), WideFromUtf8(name)), caption);
        if (host.WindowGone())
            return false;
        if (yes) {
            updateRequested = true;
            return false;
        }
    }
    return host.ShellOpen(WideFromUtf8(record.programToExecute), L"\"" + WideFromUtf8(argument) + L"\"",
                          WideFromUtf8(record.installedFolder));
}
