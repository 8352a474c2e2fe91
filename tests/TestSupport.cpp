// The shared test helpers (TestSupport.h).
#include "tests/TestSupport.h"

#include "environment/SyncBinding.h"
#include "store/Text.h"

#include <commctrl.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace testing_support {

std::wstring UniqueName(const std::wstring& prefix)
{
    static LONG counter = 0;
    std::wstringstream name;
    name << prefix << GetCurrentProcessId() << L"_" << InterlockedIncrement(&counter) << L"_" << GetTickCount();
    return name.str();
}

TempDir::TempDir()
{
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    m_path = std::wstring(base) + UniqueName(L"mvt") + L"\\";
    fs::create_directories(m_path);
}

TempDir::~TempDir()
{
    std::error_code error;
    // Read-only files would stop the removal.
    for (auto it = fs::recursive_directory_iterator(m_path, error); !error && it != fs::end(it); it.increment(error))
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(m_path, error);
}

std::string TempDir::Narrow() const { return Utf8FromWide(m_path); }

ScratchKey::ScratchKey() : m_path(L"Software\\MorvIndexTests\\" + UniqueName(L"k")) {}

ScratchKey::~ScratchKey() { DeleteRegTree(HKEY_CURRENT_USER, m_path); }

bool MakeFolderLink(const std::wstring& link, const std::wstring& target)
{
    auto isLink = [&link] {
        DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    };
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        isLink())
        return true;
    RemoveDirectoryW(link.c_str());
    DeleteFileW(link.c_str());
    // Under Wine a Unix program can be started directly.
    using UnixName = char*(__cdecl*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return false;
    auto unixPath = [unixName](const std::wstring& path) {
        std::wstring trimmed = path;
        while (!trimmed.empty() && trimmed.back() == L'\\')
            trimmed.pop_back();
        char* name = unixName(trimmed.c_str());
        std::string text = name ? name : "";
        if (name)
            HeapFree(GetProcessHeap(), 0, name);
        return WideFromUtf8(text);
    };
    std::wstring command = L"/bin/ln -sfn \"" + unixPath(target) + L"\" \"" + unixPath(link) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    // The handle of a Unix program does not tell when it has ended.
    for (int i = 0; i < 100 && !isLink(); ++i)
        Sleep(50);
    return isLink();
}

bool StartWithoutOutput(const std::wstring& program, std::wstring commandLine, PROCESS_INFORMATION& started,
                        HANDLE& job)
{
    job = CreateJobObjectW(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE)
        return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    const BOOL ok = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                   nullptr, &startup, &started);
    CloseHandle(nul);
    if (!ok)
        return false;
    if (job)
        AssignProcessToJobObject(job, started.hProcess);
    ResumeThread(started.hThread);
    return true;
}

std::string ReadBytes(const std::wstring& path)
{
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

std::wstring ReadRegString(HKEY root, const std::wstring& key, const wchar_t* value)
{
    wchar_t data[4096] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

void WriteRegString(HKEY root, const std::wstring& key, const wchar_t* value, const std::wstring& data)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(handle, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
}

void DeleteRegTree(HKEY root, const std::wstring& key) { RegDeleteTreeW(root, key.c_str()); RegDeleteKeyW(root, key.c_str()); }

std::wstring BinaryFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

LauncherCopy::LauncherCopy(const std::wstring& programFolder, const std::wstring& appDataFolder)
{
    m_name = UniqueName(L"mvl");
    m_programFolder = m_folder.Path() + (programFolder.empty() ? L"" : programFolder + L"\\");
    m_exePath = m_programFolder + m_name + L".exe";
    fs::create_directories(m_programFolder);
    fs::copy_file(BinaryFolder() + L"MorvIndex.exe", m_exePath);
    m_appData = appDataFolder.empty() ? m_appDataDir.Path().substr(0, m_appDataDir.Path().size() - 1)
                                      : m_appDataDir.Path() + appDataFolder;
    fs::create_directories(m_appData);
    // Nothing listens on the discard port: the catalogue worker fails at once
    // unless a test points these at a server of its own.
    SetCatalogueUrls("http://127.0.0.1:9/sw_index.dat", "http://127.0.0.1:9/sw_repo.dat");
}

void LauncherCopy::SetCatalogueUrls(const std::string& index, const std::string& repository)
{
    const std::wstring key = L"software\\" + m_name + L"\\index";
    WriteRegString(HKEY_CURRENT_USER, key, L"DOWNLOAD_URL", WideFromUtf8(index));
    WriteRegString(HKEY_CURRENT_USER, key, L"REPOSITORY_URL", WideFromUtf8(repository));
}

void LauncherCopy::ShipSyncLibrary()
{
    CopyFileW((BinaryFolder() + L"trelko_util_r.dll").c_str(), (m_programFolder + L"trelko_util_r.dll").c_str(), FALSE);
}

LauncherCopy::~LauncherCopy()
{
    for (HANDLE process : m_processes) {
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT && !Close(process, 5000))
            TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    DeleteRegTree(HKEY_CURRENT_USER, L"software\\" + m_name);
    DeleteRegTree(HKEY_CURRENT_USER, L"SOFTWARE\\Classes\\" + m_name);
    DeleteRegTree(HKEY_CLASSES_ROOT, L"." + m_name);
}

HANDLE LauncherCopy::Start(const std::wstring& arguments)
{
    // The child gets this process's environment with APPDATA replaced.
    std::wstring block;
    wchar_t* environment = GetEnvironmentStringsW();
    for (const wchar_t* entry = environment; *entry; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"APPDATA=", 8) != 0)
            block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(environment);
    block.append(L"APPDATA=" + m_appData).push_back(L'\0');
    block.push_back(L'\0');

    std::wstring commandLine = L"\"" + m_exePath + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(m_exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        &block[0], m_programFolder.c_str(), &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    m_processes.push_back(info.hProcess);
    return info.hProcess;
}

DWORD LauncherCopy::WaitExit(HANDLE process, DWORD milliseconds)
{
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

namespace {
struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) && !GetParent(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HWND VisibleWindowOf(HANDLE process)
{
    WindowSearch search = {GetProcessId(process), nullptr};
    EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND LauncherCopy::WaitMainWindow(HANDLE process, DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        if (HWND found = VisibleWindowOf(process))
            return found;
        if (WaitForSingleObject(process, 100) == WAIT_OBJECT_0)
            return nullptr;
    }
    return nullptr;
}

bool LauncherCopy::Close(HANDLE process, DWORD milliseconds)
{
    HWND window = WaitMainWindow(process, 2000);
    if (window)
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
}

namespace {

struct BoxSearch {
    DWORD processId;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<BoxSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t caption[128] = {};
    wchar_t className[32] = {};
    GetWindowTextW(window, caption, 128);
    GetClassNameW(window, className, 32);
    if (owner == search->processId && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0 &&
        wcscmp(caption, search->caption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

bool WaitUntil(DWORD milliseconds, const std::function<bool()>& condition)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
        if (condition())
            return true;
        Sleep(50);
    }
    return condition();
}

HWND WaitMessageBox(HANDLE process, const wchar_t* caption, DWORD milliseconds)
{
    BoxSearch search = {GetProcessId(process), caption, nullptr};
    WaitUntil(milliseconds, [&] {
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
    });
    return search.found;
}

bool UpdateFolderFromArchiveNow(const std::string& archive, const std::string& staging, const std::string& folder)
{
    return SynchroniseArchives({archive}, staging, folder, false, nullptr, "").result == SyncResult::Done &&
           ConcludeArchiveStep(staging, true);
}

namespace {
void AppendBigEndian(std::string& bytes, unsigned long value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::string PngChunk(const std::string& type, const std::string& data)
{
    std::string chunk;
    AppendBigEndian(chunk, static_cast<unsigned long>(data.size()));
    const std::string body = type + data;
    chunk += body;
    AppendBigEndian(chunk, crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return chunk;
}

} // namespace

std::string PngBytes(unsigned long width, unsigned long height)
{
    std::string header;
    AppendBigEndian(header, width);
    AppendBigEndian(header, height);
    header += std::string("\x08\x06\x00\x00\x00", 5);
    std::string rows;
    for (unsigned long y = 0; y < height; ++y)
        rows += '\0' + std::string(width * 4, '\x80');
    std::string packed(compressBound(static_cast<uLong>(rows.size())), '\0');
    uLongf packedSize = static_cast<uLongf>(packed.size());
    compress(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(rows.data()),
             static_cast<uLong>(rows.size()));
    packed.resize(packedSize);
    return std::string("\x89PNG\r\n\x1A\n", 8) + PngChunk("IHDR", header) + PngChunk("IDAT", packed) +
           PngChunk("IEND", "");
}

ProgressWindow::ProgressWindow()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr, nullptr, nullptr);
    bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 300, 20, window,
                          reinterpret_cast<HMENU>(1009), nullptr, nullptr);
    status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 40, 300, 20, window,
                             reinterpret_cast<HMENU>(1010), nullptr, nullptr);
}

ProgressWindow::~ProgressWindow() { DestroyWindow(window); }

int ProgressWindow::Position() const { return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)); }

std::wstring ProgressWindow::Status() const
{
    wchar_t text[128] = {};
    GetWindowTextW(status, text, 128);
    return text;
}

} // namespace testing_support
