// Taking a launcher build from the index, fetching it, and its proof at the
// next start.
#include "selfupdate/SelfUpdate.h"

#include "catalogue/CatalogueFiles.h"
#include "install/Installer.h"
#include "environment/SyncBinding.h"
#include "net/Crypto.h"
#include "net/HttpTransfer.h"
#include "selfupdate/LauncherSwap.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

const char* const kBadLauncherBuildsKey = "LAUNCHER_BAD_BUILDS";
const wchar_t* const kProofEventVariable = L"MORVINDEX_PROOF_EVENT";

namespace {

const wchar_t* const kPendingFile = L"pending.dat";

// The event a watching process waits on, when this process is its new build.
std::wstring g_proofEvent;

std::string Build(int build) { return "build " + std::to_string(build) + " di MorvIndex"; }

std::wstring ArchiveFileName(ImageWidth width, int build)
{
    return L"MorvIndex_" + WideFromUtf8(WidthName(width)) + L"_" + std::to_wstring(build) + L".zip";
}

/// The build waiting in the update folder, as the fetch noted it.
struct PendingUpdate {
    int build = 0;
    std::string width;
    std::string sha256;
    int64_t size = -1;
};

bool ReadPending(const std::wstring& folder, PendingUpdate& pending)
{
    KeyValueStore store;
    if (!PathExists(folder + kPendingFile) || !store.LoadFile(folder + kPendingFile))
        return false;
    const std::string global = KeyValueStore::kGlobal;
    pending.build = std::atoi(store.GetValue(global, "BUILD", "0").c_str());
    pending.width = store.GetValue(global, "WIDTH");
    pending.sha256 = store.GetValue(global, "SHA256");
    const std::string size = store.GetValue(global, "SIZE");
    pending.size = size.empty() || size.size() > 18 || size.find_first_not_of("0123456789") != std::string::npos
                       ? -1
                       : std::stoll(size);
    return pending.build > 0;
}

bool WritePending(const std::wstring& folder, const PendingUpdate& pending)
{
    const std::string text = "BUILD=" + std::to_string(pending.build) + "\r\nWIDTH=" + pending.width +
                             "\r\nSHA256=" + pending.sha256 + "\r\nSIZE=" + std::to_string(pending.size) + "\r\n";
    return ReplaceFileContent(folder + kPendingFile, text);
}

void ForgetPending(const std::wstring& folder)
{
    DeleteFileW((folder + kPendingFile).c_str());
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"MorvIndex_*.zip").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
        DeleteFileW((folder + data.cFileName).c_str());
    while (FindNextFileW(find, &data));
    FindClose(find);
}

bool FileMatches(const std::wstring& path, const std::string& sha256, int64_t size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::string digest;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    const uint64_t actual = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return size >= 0 && actual == static_cast<uint64_t>(size) && Sha256OfFile(path, digest) &&
           DigestMatchesHex(digest, sha256);
}

void RecordBadBuild(LauncherState& state, int build)
{
    const std::string list = state.m_settings.GetValue(KeyValueStore::kGlobal, kBadLauncherBuildsKey);
    state.m_settings.SetValue(kBadLauncherBuildsKey, AddToBuildList(list, build), KeyValueStore::kGlobal);
}

/// Starts programPath with this process's command line, as the new build on
/// trial, and waits until it proves itself, ends, or proofMs pass.
bool StartAndWatch(const std::wstring& programPath, unsigned proofMs)
{
    const std::wstring eventName = L"Local\\MorvIndex-proof-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(GetTickCount());
    HANDLE proven = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    if (!proven)
        return false;
    // The command line goes on unchanged: the program's own part is the
    // running one's name, which the new build now bears.
    std::wstring commandLine = GetCommandLineW();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    SetEnvironmentVariableW(kProofEventVariable, eventName.c_str());
    const BOOL started = CreateProcessW(programPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &process);
    SetEnvironmentVariableW(kProofEventVariable, nullptr);
    if (!started) {
        CloseHandle(proven);
        return false;
    }
    CloseHandle(process.hThread);
    HANDLE waits[] = {proven, process.hProcess};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, proofMs);
    const bool ok = woke == WAIT_OBJECT_0;
    if (!ok) {
        // It ended, crashed or hangs: it must be gone before its files go.
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    CloseHandle(process.hProcess);
    CloseHandle(proven);
    return ok;
}

/// Unpacks the waiting build into the program folder's new-build folder and
/// checks it; "" when it may go in place, else why not.
std::string UnpackPending(const std::wstring& archive, const std::wstring& programFolder, const PendingUpdate& pending)
{
    const std::wstring fresh = programFolder + kSwapNewFolder;
    if (!UnzipArchive(archive, fresh))
        return "l'archivio della " + Build(pending.build) + " non si apre";
    const LauncherBuild found = InspectLauncherFolder(fresh + L"\\");
    if (!found.problem.empty())
        return "l'archivio della " + Build(pending.build) + " non \xC3\xA8 utilizzabile (" + found.problem + ")";
    if (found.width != RunningWidth())
        return "l'archivio della " + Build(pending.build) + " contiene un programma " + WidthName(found.width) +
               ", non " + WidthName(RunningWidth());
    if (found.build != pending.build)
        return "l'archivio della " + Build(pending.build) + " contiene la build " + std::to_string(found.build);
    for (const wchar_t* picture : kLauncherPictures)
        if (!PathExists(fresh + L"\\" + picture))
            return "l'archivio della " + Build(pending.build) + " non contiene " + Utf8FromWide(picture);
    return "";
}

} // namespace

std::vector<int> ParseBuildList(const std::string& text)
{
    std::vector<int> builds;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(start, comma - start);
        if (!item.empty() && item.size() <= 9 && item.find_first_not_of("0123456789") == std::string::npos)
            builds.push_back(std::stoi(item));
        start = comma + 1;
    }
    return builds;
}

std::string AddToBuildList(const std::string& text, int build)
{
    std::vector<int> builds = ParseBuildList(text);
    if (std::find(builds.begin(), builds.end(), build) == builds.end())
        builds.push_back(build);
    std::string list;
    for (int item : builds)
        list += (list.empty() ? "" : ",") + std::to_string(item);
    return list;
}

OfferDecision DecideLauncherOffer(const std::vector<SoftwareRecord>& catalogue, ImageWidth width, int runningBuild,
                                  const std::vector<int>& badBuilds, bool keyed, LauncherOffer& offer,
                                  std::string& why)
{
    // An unsigned catalogue must never be able to replace the launcher.
    if (!keyed || width == ImageWidth::Unknown)
        return OfferDecision::Nothing;
    const std::string section = LauncherSection(width);
    const SoftwareRecord* found = nullptr;
    for (const SoftwareRecord& record : catalogue)
        if (record.name == section && record.type >= kLauncherSectionType)
            found = &record;
    if (!found)
        return OfferDecision::Nothing;
    const int build = found->availableBuild;
    if (build <= 0) {
        why = "L'aggiornamento di MorvIndex offerto non indica una build valida: MorvIndex resta alla build " +
              std::to_string(runningBuild) + ".";
        return OfferDecision::Refused;
    }
    if (build == runningBuild || std::find(badBuilds.begin(), badBuilds.end(), build) != badBuilds.end())
        return OfferDecision::Nothing;
    if (build < runningBuild) {
        why = "Il catalogo offre la " + Build(build) + ", precedente a quella in uso (" +
              std::to_string(runningBuild) + "): MorvIndex non torna indietro.";
        return OfferDecision::Refused;
    }
    if (found->archiveCheckMalformed || !IsSha256Hex(found->archiveSha256) || found->archiveSize < 0) {
        why = "Il catalogo firmato non indica SHA256 e SIZE validi per la " + Build(build) +
              ": non \xC3\xA8 stato scaricato nulla.";
        return OfferDecision::Refused;
    }
    offer.build = build;
    offer.address = found->downloadAddress;
    offer.sha256 = found->archiveSha256;
    offer.size = found->archiveSize;
    return OfferDecision::Fetch;
}

std::wstring LauncherUpdateFolder(const LauncherState& state) { return state.m_dataFolderW + L"launcher\\"; }

bool FolderWritable(const std::wstring& folder)
{
    const std::wstring probe = folder + L"~morvindex_probe_" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

std::string FetchLauncherUpdate(LauncherState& state, const std::vector<SoftwareRecord>& catalogue,
                                const std::string& expires, const CatalogueSink& sink)
{
    const bool keyed = HasUsableMakerKey(state);
    if (!CatalogueOutOfDateReason(state.m_signaturesRequired, expires, UtcNowText()).empty())
        return "";
    std::vector<int> bad;
    {
        std::lock_guard<std::mutex> hold(state.m_recordsLock);
        bad = ParseBuildList(state.m_settings.GetValue(KeyValueStore::kGlobal, kBadLauncherBuildsKey));
    }
    LauncherOffer offer;
    std::string why;
    const OfferDecision decision =
        DecideLauncherOffer(catalogue, RunningWidth(), state.m_launcherBuild, bad, keyed, offer, why);
    if (decision != OfferDecision::Fetch)
        return why;
    if (!FolderWritable(state.m_programFolderW))
        return "MorvIndex non pu\xC3\xB2 aggiornarsi da solo nella sua cartella, che non \xC3\xA8 scrivibile: "
               "la " + Build(offer.build) + " non \xC3\xA8 stata scaricata.";
    const std::wstring folder = LauncherUpdateFolder(state);
    const std::wstring archive = folder + ArchiveFileName(RunningWidth(), offer.build);
    PendingUpdate pending;
    if (ReadPending(folder, pending) && pending.build == offer.build && PathExists(archive))
        return "";
    // Never while a program is being installed: the next start fetches it.
    if (InstallBusy() || sink.Cancelled())
        return "";
    ForgetPending(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    SinkCancel cancel(sink);
    DownloadOptions options;
    options.maxBytes = static_cast<uint64_t>(offer.size);
    options.expectedSize = offer.size;
    options.expectedSha256 = offer.sha256;
    options.deadlineMs = ArchiveDeadlineMs(offer.size);
    options.progress = &cancel;
    if (!DownloadWithResume(offer.address, Utf8FromWide(archive), options)) {
        DeleteFileW(archive.c_str());
        return sink.Cancelled() ? "" : "Impossibile scaricare la " + Build(offer.build) + ": MorvIndex resta alla build " +
                                           std::to_string(state.m_launcherBuild) + ".";
    }
    pending.build = offer.build;
    pending.width = WidthName(RunningWidth());
    pending.sha256 = offer.sha256;
    pending.size = offer.size;
    if (!WritePending(folder, pending)) {
        DeleteFileW(archive.c_str());
        return "";
    }
    return "La " + Build(offer.build) + " \xC3\xA8 pronta: sar\xC3\xA0 in uso dal prossimo avvio.";
}

LauncherStart SettleLauncherFiles(LauncherState& state, const std::wstring& programFile, unsigned proofMs)
{
    LauncherStart start;
    // A process started by a watching one proves itself to it.
    wchar_t eventName[256] = {};
    const DWORD length = GetEnvironmentVariableW(kProofEventVariable, eventName, 256);
    if (length > 0 && length < 256) {
        g_proofEvent = eventName;
        start.onTrial = true;
    }
    SetEnvironmentVariableW(kProofEventVariable, nullptr);

    LauncherSwap swap(state.m_programFolderW);
    SwapJournal journal;
    if (swap.Load(journal)) {
        if (journal.state == SwapState::Proven) {
            swap.CleanUp();
        } else if (state.m_launcherBuild == journal.build) {
            // Every file is in place (the program moves last) and this is the
            // new build: it proves itself now, watched or not.
            start.onTrial = true;
        } else if (state.m_launcherBuild == journal.previous || journal.state == SwapState::Moving) {
            // Killed half-way: the previous build comes back whole.
            swap.Undo(journal);
        } else {
            // Every file was moved in, yet neither build of the step runs:
            // another was put in place since (a setup program run again),
            // and stays. The step is over.
            swap.CleanUp();
        }
        return start;
    }
    swap.RemoveUnreferenced();
    if (start.onTrial)
        return start;

    const std::wstring folder = LauncherUpdateFolder(state);
    PendingUpdate pending;
    if (!ReadPending(folder, pending))
        return start;
    const bool keyed = HasUsableMakerKey(state);
    const std::vector<int> bad = ParseBuildList(state.m_settings.GetValue(KeyValueStore::kGlobal, kBadLauncherBuildsKey));
    const std::wstring archive = folder + ArchiveFileName(RunningWidth(), pending.build);
    if (!keyed || pending.build <= state.m_launcherBuild || pending.width != WidthName(RunningWidth()) ||
        std::find(bad.begin(), bad.end(), pending.build) != bad.end()) {
        ForgetPending(folder);
        return start;
    }
    if (!FolderWritable(state.m_programFolderW)) {
        ForgetPending(folder);
        start.notice = "MorvIndex non pu\xC3\xB2 aggiornarsi da solo nella sua cartella, che non \xC3\xA8 scrivibile.";
        return start;
    }
    if (!FileMatches(archive, pending.sha256, pending.size)) {
        ForgetPending(folder);
        start.notice = "L'archivio della " + Build(pending.build) +
                       " non corrisponde al catalogo firmato: MorvIndex resta alla build " +
                       std::to_string(state.m_launcherBuild) + ".";
        return start;
    }
    // The new build is unpacked into a folder of its own: one still there
    // (a link that cannot be removed) would take it elsewhere. It waits.
    if (PathExists(state.m_programFolderW + kSwapNewFolder)) {
        start.notice = "La " + Build(pending.build) + " non \xC3\xA8 stata messa in uso: la cartella " +
                       Utf8FromWide(kSwapNewFolder) + " di MorvIndex non si pu\xC3\xB2 rimuovere.";
        return start;
    }
    const std::string problem = UnpackPending(archive, state.m_programFolderW, pending);
    if (!problem.empty()) {
        swap.RemoveUnreferenced();
        ForgetPending(folder);
        RecordBadBuild(state, pending.build);
        start.notice = "Aggiornamento di MorvIndex rifiutato: " + problem + ".";
        return start;
    }
    SwapJournal step;
    step.build = pending.build;
    step.previous = state.m_launcherBuild;
    step.files = LauncherSwapFiles(programFile);
    if (!swap.Apply(step)) {
        swap.RemoveUnreferenced();
        start.notice = "Impossibile sostituire i file di MorvIndex: resta la build " +
                       std::to_string(state.m_launcherBuild) + ".";
        return start;
    }
    if (StartAndWatch(state.m_programFolderW + programFile, proofMs)) {
        ForgetPending(folder);
        start.handedOver = true;
        return start;
    }
    SwapJournal moved;
    if (!swap.Load(moved))
        moved = step;
    swap.Undo(moved);
    ForgetPending(folder);
    RecordBadBuild(state, pending.build);
    start.notice = "La " + Build(pending.build) + " non \xC3\xA8 partita: \xC3\xA8 tornata la build " +
                   std::to_string(state.m_launcherBuild) + ".";
    return start;
}

void ProveLauncher(const LauncherState& state)
{
    LauncherSwap swap(state.m_programFolderW);
    SwapJournal journal;
    if (swap.Load(journal) && journal.state != SwapState::Proven && journal.build == state.m_launcherBuild)
        swap.MarkProven(journal);
    if (!g_proofEvent.empty()) {
        HANDLE proven = OpenEventW(EVENT_MODIFY_STATE, FALSE, g_proofEvent.c_str());
        if (proven) {
            SetEvent(proven);
            CloseHandle(proven);
        }
    }
}
