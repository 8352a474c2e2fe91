// Helpers shared by the tests: scratch folders and registry keys that never
// collide between tests, whole-file and registry reads and writes, folder
// links and small PNGs, waits for a condition or a message box, programs
// started in a job of their own, the launcher started as a real process under
// its own name and APPDATA, and one archive installed through the library.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

/// A name no other test or run uses: prefix + process id + counter + tick.
std::wstring UniqueName(const std::wstring& prefix);

/// A fresh folder below %TEMP%, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    /// The folder, ending with a backslash.
    const std::wstring& Path() const { return m_path; }
    std::string Narrow() const;
    std::wstring operator/(const std::wstring& name) const { return m_path + name; }

private:
    std::wstring m_path;
};

/// A unique key below HKCU\Software\MorvIndexTests, deleted at destruction.
class ScratchKey {
public:
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    /// Path below HKEY_CURRENT_USER, without leading backslash.
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

/// A folder link at link leading to target: a symbolic link where Windows
/// makes one, else (under Wine) a Unix symbolic link, which Wine shows as a
/// reparse point. False when neither could be made.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);

/// A real RGBA PNG of that size, every pixel the same grey.
std::string PngBytes(unsigned long width, unsigned long height);

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

/// The process's visible top-level window, or null while it has none.
HWND VisibleWindowOf(HANDLE process);

/// Default value (or named value) of a key below root; "<missing>" when absent.
std::wstring ReadRegString(HKEY root, const std::wstring& key, const wchar_t* value = nullptr);
void WriteRegString(HKEY root, const std::wstring& key, const wchar_t* value, const std::wstring& data);
void DeleteRegTree(HKEY root, const std::wstring& key);

/// How long a started launcher may take to show its window or to end.
constexpr DWORD kStartTimeout = 30000;

/// Polls condition every 50 ms for up to milliseconds; its last answer.
bool WaitUntil(DWORD milliseconds, const std::function<bool()>& condition);

/// A visible message box of the process with that caption, waiting for it
/// up to milliseconds; null when none appeared.
HWND WaitMessageBox(HANDLE process, const wchar_t* caption, DWORD milliseconds);

/// Starts a program whose standard handles, and so those of every process it
/// starts, are NUL rather than the test's own output, in a job of its own
/// (job: closing it ends every process of the tree, a console host that
/// outlived its program included, so none holds CTest's pipe open).
bool StartWithoutOutput(const std::wstring& program, std::wstring commandLine, PROCESS_INFORMATION& started,
                        HANDLE& job);

/// Folder of the running test program (where MorvIndex.exe is built too).
std::wstring BinaryFolder();

/// A copy of MorvIndex.exe under a unique name in its own folder, started with
/// its own APPDATA. Registry keys named after it are removed at destruction.
/// programFolder and appDataFolder name subfolders of the scratch folders
/// (accents and spaces welcome) for the program and for APPDATA.
class LauncherCopy {
public:
    explicit LauncherCopy(const std::wstring& programFolder = std::wstring(),
                          const std::wstring& appDataFolder = std::wstring());
    ~LauncherCopy();
    LauncherCopy(const LauncherCopy&) = delete;
    LauncherCopy& operator=(const LauncherCopy&) = delete;

    /// The program name (the copy's file name without ".exe", lower case).
    const std::wstring& Name() const { return m_name; }
    const std::wstring& ExePath() const { return m_exePath; }
    const std::wstring& Folder() const { return m_programFolder; }
    /// The per-copy APPDATA folder and the data folder below it.
    const std::wstring& AppData() const { return m_appData; }
    std::wstring DataFolder() const { return m_appData + L"\\" + m_name + L"\\"; }

    /// Index and repository addresses the copy starts with (registry overrides).
    void SetCatalogueUrls(const std::string& index, const std::string& repository);
    /// Puts trelko_util_r.dll beside the copy, as a shipped launcher has it.
    void ShipSyncLibrary();
    /// Starts the copy with an optional raw argument text; returns the process handle.
    HANDLE Start(const std::wstring& arguments = std::wstring());
    /// Waits for the process to end; returns its exit code, or STILL_ACTIVE on time-out.
    static DWORD WaitExit(HANDLE process, DWORD milliseconds);
    /// The visible top-level window of the process, waiting up to milliseconds.
    static HWND WaitMainWindow(HANDLE process, DWORD milliseconds);
    /// Asks the dialog to close as "Chiudi" does and waits for the process to end.
    static bool Close(HANDLE process, DWORD milliseconds);

private:
    TempDir m_folder;
    TempDir m_appDataDir;
    std::wstring m_programFolder;
    std::wstring m_name;
    std::wstring m_exePath;
    std::wstring m_appData;
    std::vector<HANDLE> m_processes;
};

/// A hidden window with the main dialog's progress bar (1009) and status
/// line (1010), for the workers that report to them.
struct ProgressWindow {
    ProgressWindow();
    ~ProgressWindow();
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;
    int Position() const;
    std::wstring Status() const;
    HWND window, bar, status;
};

/// One archive into folder through the shipped library, as one step that is
/// concluded at once: the whole-archive update the other roads are held to.
bool UpdateFolderFromArchiveNow(const std::string& archive, const std::string& staging, const std::string& folder);

} // namespace testing_support
