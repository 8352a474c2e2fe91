// The setup program's installation for this user, and its removal.
#include "selfupdate/FirstInstall.h"

#include "framework/WinApp.h"
#include "format/LauncherImage.h"
#include "format/SetupImage.h"
#include "store/AtomicFile.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <cstdlib>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

const wchar_t* const kUninstallEntryKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MorvIndex";
const wchar_t* const kUninstallFlag = L"uninstall";

namespace {

// The known folders and the shell link's class, written out here: libuuid,
// which holds them, also defines what oleacc does, and the 64-bit link refuses both.
const GUID kLocalAppDataFolder = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
const GUID kRoamingAppDataFolder = {0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
const GUID kProgramsFolder = {0xA77F5D77, 0x2E2B, 0x44C3, {0xA6, 0xA2, 0xAB, 0xA6, 0x01, 0x05, 0x4A, 0x51}};
const GUID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::wstring KnownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::wstring found;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path)
        found = path;
    CoTaskMemFree(path);
    return found;
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

bool WriteEntry(const std::vector<EntryValue>& values)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallEntryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    bool written = true;
    for (const EntryValue& value : values) {
        LONG status;
        if (value.isNumber)
            status = RegSetValueExW(key, value.name.c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&value.number), sizeof value.number);
        else
            status = RegSetValueExW(key, value.name.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.text.c_str()),
                                    static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
        written = written && status == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return written;
}

bool MakeShortcut(const InstallPlace& place)
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool made = false;
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IShellLinkW),
                                   reinterpret_cast<void**>(&link)))) {
        link->SetPath(place.program.c_str());
        link->SetWorkingDirectory(place.folder.c_str());
        link->SetIconLocation(place.program.c_str(), 0);
        link->SetDescription(L"MorvIndex");
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(__uuidof(IPersistFile), reinterpret_cast<void**>(&file)))) {
            made = SUCCEEDED(file->Save(place.shortcut.c_str(), TRUE));
            file->Release();
        }
        link->Release();
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return made;
}

// Removes what a failed installation created (files of an earlier
// installation it replaced stay replaced); the folder goes when empty.
void RemoveWritten(const InstallPlace& place, const std::vector<std::wstring>& created)
{
    for (const std::wstring& path : created)
        DeleteFileW(path.c_str());
    RemoveDirectoryW(place.folder.c_str());
}

class FlagSeen : public CCommandLineInfo {
public:
    void ParseParam(const wchar_t* param, bool isFlag, bool isLast) override
    {
        if (isFlag && CompareStringOrdinal(param, -1, kUninstallFlag, -1, TRUE) == CSTR_EQUAL)
            uninstall = true;
        else
            CCommandLineInfo::ParseParam(param, isFlag, isLast);
    }
    bool uninstall = false;
};

} // namespace

InstallPlace InstallPlaceFor(const std::wstring& localAppData, const std::wstring& programsFolder)
{
    InstallPlace place;
    place.folder = localAppData + L"\\Programs\\MorvIndex\\";
    place.program = place.folder + kLauncherProgramFile;
    place.shortcut = programsFolder + L"\\MorvIndex.lnk";
    return place;
}

std::wstring ChooseProgramsFolder(const std::wstring& appDataVariable, const std::wstring& knownRoaming,
                                  const std::wstring& knownPrograms)
{
    if (appDataVariable.empty() || knownPrograms.empty() || SameFileName(appDataVariable, knownRoaming))
        return knownPrograms.empty() ? appDataVariable + L"\\Microsoft\\Windows\\Start Menu\\Programs"
                                     : knownPrograms;
    return appDataVariable + L"\\Microsoft\\Windows\\Start Menu\\Programs";
}

InstallPlace UserInstallPlace()
{
    std::wstring local = EnvironmentValue(L"LOCALAPPDATA");
    if (local.empty())
        local = KnownFolder(kLocalAppDataFolder);
    return InstallPlaceFor(local, ChooseProgramsFolder(EnvironmentValue(L"APPDATA"), KnownFolder(kRoamingAppDataFolder),
                                                       KnownFolder(kProgramsFolder)));
}

std::vector<EntryValue> UninstallEntryValues(const InstallPlace& place, int build)
{
    const std::wstring quoted = L"\"" + place.program + L"\"";
    std::wstring location = place.folder;
    if (!location.empty() && location.back() == L'\\')
        location.pop_back();
    std::vector<EntryValue> values = {
        {L"DisplayName", L"MorvIndex"},
        {L"DisplayVersion", L"1.0.0." + std::to_wstring(build)},
        {L"Publisher", L"MorvIndex"},
        {L"InstallLocation", location},
        {L"DisplayIcon", quoted + L",0"},
        {L"UninstallString", quoted + L" /" + kUninstallFlag},
    };
    values.push_back({L"NoModify", L"", true, 1});
    values.push_back({L"NoRepair", L"", true, 1});
    return values;
}

bool AsksUninstall(const std::wstring& commandLine, const std::wstring& programPath)
{
    FlagSeen seen;
    ParseCommandLineText(commandLine.c_str(), seen, programPath);
    return seen.uninstall && seen.m_strFileName.empty();
}

std::string InstallFromSetup(const std::wstring& setupPath, const InstallPlace& place, int build)
{
    std::string bytes, image, problem;
    std::vector<SetupFile> files;
    if (!ReadFileBytes(setupPath, bytes))
        return "the setup program cannot be read";
    if (!SplitSetupFiles(bytes, image, files, problem))
        return problem;
    bytes.clear();
    SHCreateDirectoryExW(nullptr, place.folder.c_str(), nullptr);
    const size_t slash = place.shortcut.find_last_of(L'\\');
    if (slash != std::wstring::npos)
        SHCreateDirectoryExW(nullptr, place.shortcut.substr(0, slash).c_str(), nullptr);

    // The library and pictures first, the program last: a folder with
    // MorvIndex.exe in it is a whole launcher.
    std::vector<std::wstring> created;
    files.push_back({kLauncherProgramFile, image});
    for (const SetupFile& file : files) {
        const std::wstring target = place.folder + file.name;
        const bool existed = PathExists(target);
        if (!ReplaceFileContent(target, file.bytes)) {
            const std::string why = Win32ErrorText(GetLastError());
            RemoveWritten(place, created);
            return "cannot write " + Utf8FromWide(target) + ": " + why;
        }
        if (!existed)
            created.push_back(target);
    }
    if (!PathExists(place.shortcut))
        created.push_back(place.shortcut);
    if (!MakeShortcut(place)) {
        RemoveWritten(place, created);
        return "cannot make the shortcut " + Utf8FromWide(place.shortcut);
    }
    if (!WriteEntry(UninstallEntryValues(place, build))) {
        RemoveWritten(place, created);
        return "cannot write the list entry HKCU\\" + Utf8FromWide(kUninstallEntryKey);
    }
    return std::string();
}

void RemoveInstalledLauncher(const InstallPlace& place, const std::wstring& programName,
                             const std::function<void(const std::wstring& folder)>& removeLater)
{
    DeleteFileW(place.shortcut.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallEntryKey);
    // The protocol and the file type the launcher registered at its starts.
    const std::wstring classes = L"Software\\Classes\\";
    for (const std::wstring& key : {programName, L"." + programName, std::wstring(L"morvindex.Document")}) {
        RegDeleteTreeW(HKEY_CURRENT_USER, (classes + key).c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, (classes + key).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    }
    std::vector<std::wstring> names = SetupFileNames();
    names.push_back(kLauncherProgramFile);
    for (const std::wstring& name : names)
        DeleteFileW((place.folder + name).c_str());
    removeLater(place.folder);
}

void RemoveFolderAfterExit(const std::wstring& folder)
{
    std::wstring target = folder;
    if (!target.empty() && target.back() == L'\\')
        target.pop_back();
    // A running program cannot delete its own file: a command processor does,
    // a moment after this process has ended.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
    std::wstring command = L"\"" + shell + L"\" /d /c ping -n 4 127.0.0.1 >nul & rd /s /q \"" + target + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(shell.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, system,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}
