// The application object: the launcher's process-wide state, built during
// static initialisation, and its start-up (the setup and removal roads, single
// instance, hand-over of the command line, the launcher's own files settled,
// a pending installation concluded, the file type registered, the main dialog).
#pragma once

#include "framework/WinApp.h"
#include "environment/LauncherState.h"

/// Name of the mutex that tells a starting process another instance runs.
extern const wchar_t* const kInstanceMutexName;

class CZeltoIndexApp : public CWinApp, public LauncherState {
public:
    /// sharedWindow: the slot, shared by every process of this executable,
    /// where the main dialog publishes its window handle. build: the build
    /// this executable was made as.
    CZeltoIndexApp(volatile LONG* sharedWindow, int build);
    ~CZeltoIndexApp() override;

    BOOL InitInstance() override;

    /// Writes the settings store, and so the installed state, to the
    /// registry; true on success.
    bool SaveInstalledState();

protected:
    /// One entry: ID_HELP goes to the base class's OnHelp.
    const CommandEntry* MessageMap(size_t& count) const override;

private:
    volatile LONG* m_sharedWindow;
    // Started as the setup program: nothing of the launcher's own start
    // (registrations, data folder, settings) happens under that name.
    bool m_setup = false;
    std::string m_programNameUtf8;
    // The settings as last loaded or saved: the store is written back at exit
    // only when this process changed it, so an idle second instance never
    // overwrites what the running one saved meanwhile.
    KeyValueStore m_savedSettings;
};
