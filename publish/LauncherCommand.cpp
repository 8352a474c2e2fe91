// morvindex-publish launcher: packs a launcher build (its build from the
// program's version resource, its width from its header) and offers it in
// the index to launchers of that width; with --setup it also writes the
// setup program that carries that build and the maker's server.dat.
#include "format/CatalogueFormat.h"
#include "format/LauncherImage.h"
#include "format/ServerFile.h"
#include "format/SetupImage.h"
#include "net/Crypto.h"
#include "publish/CommandParts.h"
#include "publish/DataFileLines.h"
#include "publish/Packer.h"
#include "publish/Site.h"
#include "publish/StagedFiles.h"
#include "store/AtomicFile.h"
#include "store/KeyValueStore.h"
#include "store/Text.h"
#include "trelko_util/Unzipper.h"

#include <windows.h>

#include <utility>

namespace publish_commands {

int RunLauncher(const std::vector<std::wstring>& arguments, Reporter& reporter)
{
    if (arguments.size() != 2 && (arguments.size() != 4 || arguments[2] != L"--setup")) {
        reporter.Error(kUsage);
        return kPublishUsage;
    }
    const std::wstring& site = arguments[0];
    std::wstring folder = arguments[1];
    auto refuse = [&reporter](const std::string& text) {
        reporter.Error(text);
        return kPublishFailed;
    };
    // The setup's server.dat is the only one a new user starts with: without
    // the maker's key that launcher would take any catalogue, and any launcher.
    std::string serverDat;
    if (arguments.size() == 4) {
        const std::string name = Utf8FromWide(arguments[3]);
        if (!IsFilePath(arguments[3]) || !ReadFileBytes(arguments[3], serverDat))
            return refuse("--setup " + name + ": no such file");
        bool required = false;
        PublicKey key;
        MakerTrust trust;
        ReadMakerKey(ServerFileText(serverDat), required, key, nullptr, &trust);
        if (!UsableMakerKey(required, key, trust))
            return refuse("--setup " + name + ": no usable key (one [SIGNATURE] KEY= or ROOT= with the public key keygen "
                          "printed); "
                          "a setup without it would let any catalogue replace the launcher");
    }
    if (!RecoverSite(site, reporter))
        return kPublishFailed;
    if (!IsFolderPath(folder))
        return refuse(Utf8FromWide(folder) + " is not a folder");
    if (folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';

    // The build and width come from the files themselves, never from a flag.
    const LauncherBuild build = InspectLauncherFolder(folder);
    if (!build.problem.empty())
        return refuse(Utf8FromWide(folder) + ": " + build.problem);
    std::vector<PackedFile> files;
    std::vector<std::wstring> names = {kLauncherProgramFile, kLauncherLibraryFile};
    names.insert(names.end(), std::begin(kLauncherPictures), std::end(kLauncherPictures));
    for (const std::wstring& name : names) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW((folder + name).c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return refuse(Utf8FromWide(folder) + ": no " + Utf8FromWide(name) + " (a launcher build ships it)");
        PackedFile file;
        file.name = Utf8FromWide(name);
        file.path = folder + name;
        file.lastWrite = data.ftLastWriteTime;
        file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        files.push_back(file);
    }
    if (IsFilePath(folder + kServerFileName))
        reporter.Line("note: server.dat is not packed: it holds each user's server and key");

    const std::wstring indexPath = SitePath(site, kIndexFile);
    std::string indexBytes, error, serial;
    if (!ReadFileBytes(indexPath, indexBytes))
        return refuse("no sw_index.dat in " + Utf8FromWide(site) + ": start the site with init");
    const std::string form = TextFormProblem(kIndexFile, indexBytes);
    if (!form.empty())
        return refuse(form);
    DataFileLines lines(indexBytes);
    const std::string overlong = OverlongLineProblem(kIndexFile, lines);
    if (!overlong.empty())
        return refuse(overlong);
    KeyValueStore index;
    index.LoadText(indexBytes);
    const std::string section = LauncherSection(build.width);
    const int published = ParseNumber(index.GetValue(section, "BUILD_DISP", "0"));
    if (build.build <= published)
        return refuse("MorvIndex.exe is build " + std::to_string(build.build) + ", but [" + section +
                      "] offers build " + std::to_string(published) + " already: launchers only ever take a "
                      "higher build (make it with cmake -DMORVINDEX_BUILD=" + std::to_string(published + 1) + ")");
    const std::string base = index.GetValue("PATHS", "BASE");
    if (base.empty() || base.back() != '/')
        return refuse("[PATHS] BASE=\"" + base + "\" does not end with \"/\"");
    const std::string expires = ExpiryAhead(kDefaultExpiryDays);
    if (!StampCatalogueFile(lines, index, true, false, expires, serial, error))
        return refuse(error);

    const std::string relative = LauncherArchivePath(build.width, build.build);
    const std::wstring archive = SitePath(site, relative);
    const std::wstring launcherFolder = SitePath(site, "launcher");
    const std::wstring widthFolder = archive.substr(0, archive.find_last_of(L'\\'));
    CreateDirectoryW(launcherFolder.c_str(), nullptr);
    CreateDirectoryW(widthFolder.c_str(), nullptr);
    const std::wstring temporary = StagedFiles::StagingPath(archive);
    if (!WriteArchive(temporary, files, error) || !IsAcceptableArchive(temporary)) {
        DeleteFileW(temporary.c_str());
        return refuse(error.empty() ? "the archive written for " + relative + " does not read back" : error);
    }
    std::string digest;
    WIN32_FILE_ATTRIBUTE_DATA written;
    if (!Sha256OfFile(temporary, digest) || !GetFileAttributesExW(temporary.c_str(), GetFileExInfoStandard, &written)) {
        DeleteFileW(temporary.c_str());
        return refuse("the archive written for " + relative + " cannot be read back");
    }
    const uint64_t size = (static_cast<uint64_t>(written.nFileSizeHigh) << 32) | written.nFileSizeLow;
    const std::pair<const char*, std::string> keys[] = {
        {"SW_TYPE", std::to_string(kLauncherSectionType)},
        {"BUILD_DISP", std::to_string(build.build)},
        {"DOWNLOAD_FILE", relative},
        {"SHA256", HexOf(digest)},
        {"SIZE", std::to_string(size)}};
    for (const auto& key : keys)
        lines.Set(section, key.first, key.second);
    StagedFiles staged(site);
    staged.Adopt(archive);
    const std::wstring setup = SitePath(site, Utf8FromWide(kSetupProgramFile));
    if (!serverDat.empty()) {
        std::string image;
        std::vector<SetupFile> carried;
        for (const std::wstring& name : SetupFileNames()) {
            SetupFile file{name, std::string()};
            if (name == kServerFileName)
                file.bytes = serverDat;
            else if (!ReadFileBytes(folder + name, file.bytes))
                return refuse("cannot read " + Utf8FromWide(folder + name));
            carried.push_back(std::move(file));
        }
        if (!ReadFileBytes(folder + kLauncherProgramFile, image))
            return refuse("cannot read " + Utf8FromWide(folder + kLauncherProgramFile));
        if (!staged.Stage(setup, AppendSetupFiles(image, carried), error)) {
            DeleteFileW(temporary.c_str());
            return refuse(error + "; nothing written");
        }
    }
    if (!staged.Stage(indexPath, lines.Text(), error) || !staged.Commit(error)) {
        DeleteFileW(temporary.c_str());
        return refuse(error + "; nothing written");
    }
    reporter.Line(relative + ": MorvIndex build " + std::to_string(build.build) + " for " + WidthName(build.width) +
                  ", archive of " + std::to_string(size) + " bytes, SHA-256 " + HexOf(digest));
    reporter.Line("sw_index.dat: [" + section + "] BUILD_DISP=" + std::to_string(build.build) + "; [PATHS] SERIAL=" +
                  serial + ", EXPIRES=" + expires);
    if (!serverDat.empty())
        reporter.Line(Utf8FromWide(kSetupProgramFile) + ": MorvIndex build " + std::to_string(build.build) + " for " +
                      WidthName(build.width) + " with its files and " + Utf8FromWide(arguments[3]) +
                      ", for a user's first installation");
    if (IsFilePath(SitePath(site, std::string(kIndexFile) + kSignatureSuffix)))
        reporter.Line("sw_index.dat.sig no longer matches: sign the site again before uploading");
    return kPublishDone;
}

} // namespace publish_commands
