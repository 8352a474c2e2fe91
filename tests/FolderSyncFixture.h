// What the folder update's tests share: copiers that count, cut, stop or end
// the step the way a process ending would, a folder's tree, and the fixture of
// one program folder with its archive, staging folder and destination.
#pragma once

#include "trelko_util/FolderSync.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace folder_sync_testing {

using namespace testing_support;

// The real xcopy, counted.
class CountingCopier : public FileCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        copied.push_back(file.substr(file.find_last_of(L'\\') + 1));
        return xcopy.CopyInto(file, folder, workingFolder);
    }
    XcopyCopier xcopy;
    std::vector<std::wstring> copied;
};

// Copies with xcopy, except the file named cut: that one is copied by a
// process that writes half of it and is then ended from outside by its id,
// with the exit code given (as "End task", a crash or an antivirus would).
class CutCopier : public CountingCopier {
public:
    CutCopier(std::wstring cut, DWORD exitCode) : m_cut(std::move(cut)), m_exitCode(exitCode) {}
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        const std::wstring name = file.substr(file.find_last_of(L'\\') + 1);
        if (name != m_cut)
            return CountingCopier::CopyInto(file, folder, workingFolder);
        const std::wstring event = UniqueName(L"cut-copy-");
        HANDLE written = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
        const std::wstring probe = BinaryFolder() + L"binding_probe.exe";
        std::wstring commandLine =
            L"\"" + probe + L"\" --cut-copy \"" + file + L"\" \"" + folder + L"\\" + name + L"\" " + event;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!written || !CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process))
            return false;
        HANDLE either[2] = {written, process.hProcess};
        WaitForMultipleObjects(2, either, FALSE, 60000);
        TerminateProcess(process.hProcess, m_exitCode);
        WaitForSingleObject(process.hProcess, 60000);
        DWORD exitCode = 99;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        CloseHandle(written);
        ++cutCopies;
        return exitCode == 0; // all a caller of a copying process learns
    }
    int cutCopies = 0;

private:
    std::wstring m_cut;
    DWORD m_exitCode;
};

// Sets the stop flag once it has copied stopAfter files.
class StoppingCopier : public CountingCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        const bool ok = CountingCopier::CopyInto(file, folder, workingFolder);
        if (static_cast<int>(copied.size()) == stopAfter)
            stop = 1;
        return ok;
    }
    int stopAfter = 2;
    volatile long stop = 0;
};

// Ends the step the way the end of the process would: mid-way, with no
// chance to clean up.
class DyingCopier : public CountingCopier {
public:
    bool CopyInto(const std::wstring& file, const std::wstring& folder, const std::wstring& workingFolder) override
    {
        if (static_cast<int>(copied.size()) == dieAt) {
            // Half a file written, as a copy cut by the machine going off leaves it.
            WriteBytes(folder + file.substr(file.find_last_of(L'\\')), "cut");
            throw std::runtime_error("process ended");
        }
        return CountingCopier::CopyInto(file, folder, workingFolder);
    }
    int dieAt = 2;
};

// Every file below folder with its bytes, by relative path; folders end with "\".
inline std::map<std::wstring, std::string> TreeOf(const std::wstring& folder)
{
    std::map<std::wstring, std::string> tree;
    for (auto it = std::filesystem::recursive_directory_iterator(folder);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        std::wstring relative = it->path().wstring().substr(folder.size());
        if (it->is_directory())
            tree[relative + L"\\"] = "";
        else
            tree[relative] = ReadBytes(it->path().wstring());
    }
    return tree;
}

class FolderSync : public ::testing::Test {
protected:
    // The destination itself may be missing; its parent exists, as apps\ does for the launcher.
    void SetUp() override { std::filesystem::create_directories(dir / L"apps"); }

    std::wstring Archive() const { return dir / L"apps_cache\\ABC.zip"; }
    std::wstring Staging() const { return dir / L"tmp"; }
    std::wstring Destination() const { return dir / L"apps\\ABC"; }
    std::wstring Installed(const std::wstring& name) const { return dir / (L"apps\\ABC\\" + name); }

    void MakeArchive(const std::vector<ZipEntry>& entries)
    {
        std::filesystem::create_directories(dir / L"apps_cache");
        ASSERT_TRUE(WriteZip(dir / L"apps_cache\\ABC.zip", entries));
    }
    bool Run(bool compareContent = true)
    {
        copier.copied.clear();
        return UpdateFolderFromArchive(Archive(), Staging(), Destination(), compareContent, copier);
    }

    SyncStep Step(const std::vector<std::wstring>& archives) const
    {
        SyncStep step;
        step.archives = archives;
        step.staging = Staging();
        step.destination = Destination();
        return step;
    }
    bool Pending() const
    {
        std::string tag;
        return PendingStep(Staging(), tag);
    }
    // Build 1 installed: a file to be replaced, one to stay, one in a folder.
    std::map<std::wstring, std::string> InstallFirstBuild()
    {
        MakeArchive({{"a.txt", "old a", stamp}, {"big.bin", std::string(300000, 'o'), stamp},
                     {"keep.txt", "kept", stamp}, {"sub/s.txt", "old s", stamp}});
        EXPECT_TRUE(Run());
        return TreeOf(Destination());
    }
    // Build 2: two files replaced, two new ones (one in a new folder).
    void MakeSecondBuild()
    {
        DosStamp later = MakeDos(2024, 3, 3, 4, 5, 6);
        std::string big(400000, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>(i * 7 + i / 1000);
        MakeArchive({{"a.txt", "new a", later}, {"big.bin", big, later}, {"keep.txt", "kept", stamp},
                     {"sub/s.txt", "old s", stamp}, {"c.txt", "new c", later}, {"new/deep/n.txt", "new n", later}});
    }

    TempDir dir;
    CountingCopier copier;
    DosStamp stamp = MakeDos(2024, 2, 3, 4, 5, 6);
};

} // namespace folder_sync_testing
