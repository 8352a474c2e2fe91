// The setup and removal roads taken before the window.
#include "launcher/FirstRun.h"

#include "framework/WinApp.h"
#include "environment/InstalledState.h"
#include "install/Commands.h"
#include "install/Launch.h"
#include "environment/ProgramIdentity.h"
#include "launcher/ZeltoIndexApp.h"
#include "resources/resource.h"
#include "selfupdate/FirstInstall.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <windows.h>

namespace {

bool LauncherRuns()
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName);
    if (!mutex)
        return false;
    CloseHandle(mutex);
    return true;
}

bool AskYes(UINT question, const std::wstring& value, UINT caption)
{
    return MessageBoxW(nullptr, FormatText(AfxLoadString(question), value).c_str(), AfxLoadString(caption).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
}

void Tell(const std::wstring& text, UINT caption)
{
    MessageBoxW(nullptr, text.c_str(), AfxLoadString(caption).c_str(), MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}

} // namespace

void RunSetup(const std::wstring& setupPath, int build)
{
    const InstallPlace place = UserInstallPlace();
    if (!AskYes(IDS_SETUP_QUESTION, place.folder, IDS_SETUP_CAPTION))
        return;
    // A running launcher holds its program and library: nothing could be
    // replaced, and its files must not be half replaced.
    if (LauncherRuns()) {
        Tell(AfxLoadString(IDS_SETUP_LAUNCHER_RUNS), IDS_SETUP_CAPTION);
        return;
    }
    const std::string problem = InstallFromSetup(setupPath, place, build);
    if (!problem.empty()) {
        Tell(FormatText(AfxLoadString(IDS_SETUP_FAILED), WideFromUtf8(problem)), IDS_SETUP_CAPTION);
        return;
    }
    std::wstring command = L"\"" + place.program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(place.program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, place.folder.c_str(),
                       &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

void RunUninstall(LauncherState& state, const SettingsSaver& save, const std::wstring& programPath,
                  const std::wstring& programName)
{
    InstallPlace place = UserInstallPlace();
    const InstallPlace setupPlace = place;
    place.folder = FolderOfPath(programPath);
    place.program = programPath;
    if (!AskYes(IDS_REMOVE_QUESTION, place.folder, IDS_REMOVE_CAPTION))
        return;
    if (AskYes(IDS_REMOVE_PROGRAMS, std::wstring(), IDS_REMOVE_CAPTION)) {
        std::vector<SoftwareRecord> installed;
        {
            std::lock_guard<std::mutex> hold(state.m_recordsLock);
            for (const auto& section : state.m_settings.AllSections()) {
                SoftwareRecord record;
                record.name = section.first;
                if (ApplyInstalledState(record, state.m_settings) && record.installedBuild > 0)
                    installed.push_back(record);
            }
        }
        for (SoftwareRecord& record : installed)
            Uninstall(record, state, save);
    }
    const bool ownFolder = SameFileName(place.folder, setupPlace.folder);
    RemoveInstalledLauncher(place, programName, [ownFolder](const std::wstring& folder) {
        if (ownFolder)
            RemoveFolderAfterExit(folder);
    });
}
