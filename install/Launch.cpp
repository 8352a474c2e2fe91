// Starting an installed program: its TO_EXECUTE resolved inside its folder,
// the question about a newer build, and the shell start.
#include "install/Launch.h"

#include "catalogue/CatalogueFiles.h"
#include "framework/WinApp.h"
#include "environment/InstalledState.h"
#include "resources/resource.h"
#include "store/Text.h"
#include "trelko_util/EntryNames.h"

#include <shellapi.h>

#include <vector>

namespace {

std::vector<std::string> PathComponents(const std::string& path)
{
    std::vector<std::string> components;
    size_t start = 0;
    for (;;) {
        size_t end = path.find_first_of("\\/", start);
        components.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return components;
        start = end + 1;
    }
}

} // namespace

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

StartRefusal ResolveProgramToStart(const std::string& toExecute, const std::wstring& installedFolder,
                                   std::wstring& fullPath)
{
    if (!IsPlainRelativePath(toExecute))
        return StartRefusal::NotPlainRelative;
    std::wstring path = installedFolder;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    if (path.empty())
        return StartRefusal::Missing;
    const std::vector<std::string> components = PathComponents(toExecute);
    for (size_t i = 0; i < components.size(); ++i) {
        path += L"\\" + WideFromUtf8(components[i]);
        // Each step is looked at as it is on disk, without following it: a
        // link or junction could lead anywhere.
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return StartRefusal::Missing;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return StartRefusal::ThroughLink;
        const bool last = i + 1 == components.size();
        if (((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == last)
            return StartRefusal::Missing;
    }
    fullPath = path;
    return StartRefusal::None;
}

bool LaunchProgram(const std::string& argument, const std::string& name, const LauncherState& state,
                   LaunchHost& host, bool& updateRequested)
{
    return LaunchProgramWith([&argument] { return argument; }, name, state, host, updateRequested);
}

bool LaunchProgramWith(const std::function<std::string()>& makeArgument, const std::string& name,
                       const LauncherState& state, LaunchHost& host, bool& updateRequested)
{
    const std::wstring caption = host.Text(IDS_UPDATE_CAPTION);
    updateRequested = false;
    // A copy, taken under the records' lock: the UI thread may record an
    // install or uninstall while this runs on the invocation worker.
    SoftwareRecord record;
    std::string expires;
    bool found = false;
    {
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        expires = state.m_catalogueExpires;
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
    const auto refuse = [&](unsigned reason) {
        std::wstring text = FormatText(host.Text(IDS_START_REFUSED), WideFromUtf8(name));
        host.Notify(FormatText(text, host.Text(reason)), caption);
        return false;
    };
    // What an index names that could never lie inside the folder is refused
    // before any question; whether the file is there is known only after an
    // update.
    if (!IsPlainRelativePath(record.programToExecute))
        return refuse(IDS_START_NOT_RELATIVE);
    // A list past its EXPIRES offers no update: the installed build starts.
    if (InstallState(record) == InstallStatus::UpdateAvailable &&
        CatalogueOutOfDateReason(state.m_signaturesRequired, expires, UtcNowText()).empty()) {
        // A question nobody could see has no answer: nothing is started.
        if (host.WindowGone())
            return false;
        bool yes = host.AskYesNo(FormatText(host.Text(IDS_UPDATE_QUESTION), WideFromUtf8(name)), caption);
        if (host.WindowGone())
            return false;
        if (yes) {
            updateRequested = true;
            makeArgument(); // the start after the installation passes it on
            return false;
        }
    }
    const std::wstring folder = WideFromUtf8(record.installedFolder);
    std::wstring program;
    switch (ResolveProgramToStart(record.programToExecute, folder, program)) {
    case StartRefusal::None:
        break;
    case StartRefusal::Missing:
        return refuse(IDS_START_MISSING);
    case StartRefusal::ThroughLink:
        return refuse(IDS_START_THROUGH_LINK);
    case StartRefusal::NotPlainRelative:
        return refuse(IDS_START_NOT_RELATIVE);
    }
    // By its full path: the shell never searches for a bare name elsewhere
    // nor takes the text for a URL.
    return host.ShellOpen(program, L"\"" + WideFromUtf8(makeArgument()) + L"\"", folder);
}
