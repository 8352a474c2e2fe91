// Starting an installed program in its folder, asking first when a newer
// build is available.
#pragma once

#include "launcher/LauncherState.h"

#include <string>

/// What starting a program needs from the window and the shell.
class LaunchHost {
public:
    virtual ~LaunchHost() = default;
    /// A Yes/No question with the question icon; true for Yes.
    virtual bool AskYesNo(const std::wstring& text, const std::wstring& caption) = 0;
    /// A notice with an OK button and the exclamation icon.
    virtual void Notify(const std::wstring& text, const std::wstring& caption) = 0;
    /// ShellExecuteW "open" with SW_SHOWNORMAL; true when the result is above 32.
    virtual bool ShellOpen(const std::wstring& file, const std::wstring& parameters, const std::wstring& folder);
    /// Text of a string-table entry.
    virtual std::wstring Text(unsigned id);
    /// True once the window that owns the questions has gone: a question is
    /// then not asked, and one asked meanwhile counts as unanswered.
    virtual bool WindowGone() { return false; }
};

/// Fills the one "%s" of a resource text.
std::wstring FormatText(const std::wstring& pattern, const std::wstring& value);

/// Starts the first installed record named name with argument, quoted, as its
/// parameter and its folder as working directory. Asks first when an update
/// is available: Yes sets updateRequested and starts nothing. A name with no
/// installed record shows the "not installed" notice. True when started.
bool LaunchProgram(const std::string& argument, const std::string& name, const LauncherState& state,
                   LaunchHost& host, bool& updateRequested);
