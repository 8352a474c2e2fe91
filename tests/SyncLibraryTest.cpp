// The real trelko_util_r.dll through its export, and the launcher's binding
// to it as seen from a separate process.
#include "launcher/SyncBinding.h"
#include "store/Text.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class SyncLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW((BinaryFolder() + L"trelko_util_r.dll").c_str());
        ASSERT_NE(nullptr, module);
        function = reinterpret_cast<AggiornaFilesFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "aggiorna_files")));
        ASSERT_NE(nullptr, function);
    }
    void TearDown() override { FreeLibrary(module); }

    HMODULE module = nullptr;
    AggiornaFilesFn function = nullptr;
};

std::map<std::string, std::string> RunProbe(const std::wstring& probe, const std::wstring& output, bool unsetPath,
                                            const std::wstring& workingFolder = std::wstring())
{
    std::wstring savedPath(32768, L'\0');
    savedPath.resize(GetEnvironmentVariableW(L"PATH", &savedPath[0], 32768));
    if (unsetPath)
        SetEnvironmentVariableW(L"PATH", nullptr);
    std::wstring commandLine = L"\"" + probe + L"\" \"" + output + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &info);
    if (unsetPath)
        SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    std::map<std::string, std::string> values;
    if (!started)
        return values;
    WaitForSingleObject(info.hProcess, 60000);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    std::istringstream lines(ReadBytes(output));
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

TEST_F(SyncLibrary, ExportIsOrdinalOneAndInstallsThenSkipsUpToDateFiles)
{
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1))),
              reinterpret_cast<void*>(function));

    TempDir dir;
    DosStamp stamp = MakeDos(2024, 6, 1, 12, 0, 0);
    ASSERT_TRUE(WriteZip(dir / L"ABC.zip", {{"prog.exe", "program", stamp}, {"res/img.png", "png", stamp}}));
    std::string archive = dir.Narrow() + "ABC.zip";
    std::string staging = dir.Narrow() + "tmp";
    std::string destination = dir.Narrow() + "apps\\ABC\\";
    fs::create_directories(dir / L"apps");
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 1));
    EXPECT_EQ("png", ReadBytes(dir / L"apps\\ABC\\res\\img.png"));

    // Other content at the same time: only a set low byte of compare_content copies it.
    FILETIME installed = WriteTimeOf(dir / L"apps\\ABC\\prog.exe");
    WriteBytes(dir / L"apps\\ABC\\prog.exe", "edited!");
    SetWriteTime(dir / L"apps\\ABC\\prog.exe", installed);
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 0x100));
    EXPECT_EQ("edited!", ReadBytes(dir / L"apps\\ABC\\prog.exe")) << "0x100: the low byte is 0, no content check";
    ASSERT_TRUE(function(archive.c_str(), staging.c_str(), destination.c_str(), 0x101));
    EXPECT_EQ("program", ReadBytes(dir / L"apps\\ABC\\prog.exe"));
    FILETIME after = WriteTimeOf(dir / L"apps\\ABC\\prog.exe");
    EXPECT_EQ(0, CompareFileTime(&installed, &after));
}

TEST_F(SyncLibrary, BadArgumentsAndBadArchivesReturnFalse)
{
    TempDir dir;
    EXPECT_FALSE(function(nullptr, "x", "y", 1));
    std::string missing = dir.Narrow() + "missing.zip";
    EXPECT_FALSE(function(missing.c_str(), (dir.Narrow() + "tmp").c_str(), (dir.Narrow() + "dest").c_str(), 1));
    ASSERT_TRUE(WriteZip(dir / L"slip.zip", {{"../../evil.txt", "evil"}}));
    EXPECT_FALSE(function((dir.Narrow() + "slip.zip").c_str(), (dir.Narrow() + "tmp").c_str(),
                          (dir.Narrow() + "dest").c_str(), 1));
    EXPECT_FALSE(FileExists(dir / L"evil.txt"));
}

class SyncBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy_file(BinaryFolder() + L"binding_probe.exe", dir / L"probe.exe");
        fs::create_directories(dir / L"index_deps");
    }
    void PlaceLibrary(const std::wstring& folder)
    {
        fs::copy_file(BinaryFolder() + L"trelko_util_r.dll", folder + L"trelko_util_r.dll");
    }
    std::map<std::string, std::string> Probe(bool unsetPath = false, const std::wstring& workingFolder = std::wstring())
    {
        return RunProbe(dir / L"probe.exe", dir / L"probe.txt", unsetPath, workingFolder);
    }
    std::string Folder() const { return dir.Narrow().substr(0, dir.Narrow().size() - 1); }

    TempDir dir;
};

TEST_F(SyncBinding, LibraryOnlyInIndexDepsIsFoundThroughPath)
{
    PlaceLibrary(dir / L"index_deps\\");
    auto seen = Probe();
    EXPECT_EQ(0u, seen["PATH"].find(Folder() + "\\index_deps;")) << seen["PATH"];
    EXPECT_EQ(std::string::npos, seen["PATH"].find(";" + Folder() + "\\index_deps;")) << "prepended once";
    EXPECT_EQ("1", seen["FUNCTION"]);
    EXPECT_EQ(Lower(Folder() + "\\index_deps\\trelko_util_r.dll"), Lower(seen["LOADED"]));
}

TEST_F(SyncBinding, LibraryInBothPlacesLoadsTheOneBesideTheProgram)
{
    PlaceLibrary(dir.Path());
    PlaceLibrary(dir / L"index_deps\\");
    auto seen = Probe();
    EXPECT_EQ(0u, seen["PATH"].find(Folder() + "\\index_deps;"));
    EXPECT_EQ(Lower(Folder() + "\\trelko_util_r.dll"), Lower(seen["LOADED"]));
}

TEST_F(SyncBinding, UnsetPathBecomesTheLibraryFolderAndASemicolon)
{
    PlaceLibrary(dir / L"index_deps\\");
    auto seen = Probe(true);
    EXPECT_EQ(Folder() + "\\index_deps;", seen["PATH"]);
    EXPECT_EQ("1", seen["FUNCTION"]);
}

// A copy in the working folder (a double-clicked document's Downloads) is
// never loaded: only ours, by full path.
TEST_F(SyncBinding, MissingLibraryIsAClearErrorNotACrash)
{
    TempDir downloads;
    PlaceLibrary(downloads.Path());
    auto seen = Probe(true, downloads.Path());
    EXPECT_EQ("0", seen["PATHSET"]) << "PATH stays unset";
    EXPECT_EQ("0", seen["FUNCTION"]);
    EXPECT_EQ("", seen["LOADED"]);
    EXPECT_NE(std::string::npos, seen["ERROR"].find("trelko_util_r.dll")) << seen["ERROR"];
}
