// Taking up a start request handed over through the invocation file: the
// request becomes a launch file for the program, which is then started (or
// installed first when the user agrees).
#pragma once

#include "install/Launch.h"
#include "environment/LauncherState.h"

/// What processing a request needs from the main window.
class InvocationHost : public virtual LaunchHost {
public:
    /// Waits until the catalogue is built; false when the window went away first.
    virtual bool WaitCatalogueReady() = 0;
    /// Waits while an installation runs; false when the window went away first.
    virtual bool WaitInstallationEnd() = 0;
    /// Asks the window to install name at its next paint.
    virtual void RequestInstall(const std::string& name) = 0;
    /// Lets the window's paint handler run.
    virtual void Invalidate() = 0;
};

/// True when data folder\invoke.morvindex holds a request not yet taken up.
bool RequestWaiting(const LauncherState& state);

/// Takes up data folder\invoke.morvindex when it holds a request not yet
/// taken up: moves it to gogo.morvindex in one step (a request that cannot be
/// moved nor deleted is remembered in taken.morvindex and never taken up
/// again, also after a restart), and, when SW_CODE names an installed program
/// that will start, copies it to the launch file <SW_CODE>invoke.dat and
/// starts that program with the launch file's quoted path. Only one request is
/// processed at a time in a process. A request that arrives during an
/// installation is taken up once it has ended, as if it had come then.
void ProcessInvocation(const LauncherState& state, InvocationHost& host);
