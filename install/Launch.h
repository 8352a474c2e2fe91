// Starting an installed program in its folder, asking first when a newer
// build is available.
#pragma once

#include "environment/LauncherState.h"

#include <functional>
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

/// Fills the first "%s" of a resource text.
std::wstring FormatText(const std::wstring& pattern, const std::wstring& value);

/// Why the file a record names in TO_EXECUTE is not started.
enum class StartRefusal {
    None,             // an existing file inside the installed folder
    NotPlainRelative, // absolute, a drive, "..", a scheme, a device: not a path below the folder
    Missing,          // no such file in the folder (or a folder of that name)
    ThroughLink,      // a link or junction on the way could lead outside the folder
};

/// Resolves toExecute (UTF-8) inside installedFolder into fullPath. None only
/// for a plain relative path naming an existing file, no component of which
/// below the folder is a reparse point.
StartRefusal ResolveProgramToStart(const std::string& toExecute, const std::wstring& installedFolder,
                                   std::wstring& fullPath);

/// Starts the first installed record named name, by the full path of its
/// TO_EXECUTE inside its folder (see ResolveProgramToStart), with argument,
/// quoted, as its parameter and its folder as working directory. Asks first
/// when an update is available: Yes sets updateRequested and starts nothing.
/// A name with no installed record shows the "not installed" notice; a
/// TO_EXECUTE that is refused shows which program and why. True when started.
bool LaunchProgram(const std::string& argument, const std::string& name, const LauncherState& state,
                   LaunchHost& host, bool& updateRequested);

/// LaunchProgram with an argument made only when it is needed: makeArgument
/// runs right before the program starts, or when the user accepted the update
/// (for the start after it), never for a program that is not installed or
/// whose TO_EXECUTE is refused.
bool LaunchProgramWith(const std::function<std::string()>& makeArgument, const std::string& name,
                       const LauncherState& state, LaunchHost& host, bool& updateRequested);
