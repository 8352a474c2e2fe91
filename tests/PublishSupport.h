// What the maker's tool's tests share: commands run in process and what they
// reported, a site of one program (ABC) whose index and archive the tests
// edit, file times, and a folder served by path.
#pragma once

#include "publish/Commands.h"
#include "publish/DataFileLines.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSupport.h"
#include "tests/ZipFixture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

/// Serves the files of a folder by path, "/" at the folder.
LoopbackServer::Handler FolderFiles(const std::wstring& folder);

/// A UTC time as a FILETIME.
FILETIME UtcTime(int year, int month, int day, int hour, int minute, int second);

/// Writes a file (and its folders) and dates its last write.
void WriteFileAt(const std::wstring& path, const std::string& bytes, FILETIME time);

/// Keeps what a command reports, errors as "error: ...".
class CollectingReporter : public Reporter {
public:
    void Line(const std::string& utf8) override { lines.push_back(utf8); }
    void Error(const std::string& utf8) override { lines.push_back("error: " + utf8); }
    std::vector<std::string> lines;
};

/// The lines, each ended by "\n".
std::string Joined(const std::vector<std::string>& lines);

/// Edits the site's sw_index.dat line by line.
void EditIndex(const std::wstring& site, const std::function<void(DataFileLines&)>& edit);

/// Writes ABC's entries file and gives the index its SHA-256 and size.
void RemapAbc(const std::wstring& site, const std::string& entries);

/// Replaces ABC's archive and gives the index its true SHA256 and SIZE, and
/// its entries file when the archive can be mapped.
void RepublishAbc(const std::wstring& site, const std::string& bytes);

/// The bytes of a zip of entries, written through scratch.
std::string ZipOf(const std::vector<ZipEntry>& entries, const std::wstring& scratch);

/// A site of one program, ABC, in a folder of its own, and the commands run on it in process.
class PublishSite : public ::testing::Test {
protected:
    PublishSite() { WriteFileAt(work / L"abc\\abc.exe", "ABC", UtcTime(2024, 3, 1, 8, 0, 0)); }
    int Run(const std::vector<std::wstring>& command)
    {
        reporter.lines.clear();
        return RunPublish(command, reporter);
    }
    bool Said(const std::string& text) const { return Joined(reporter.lines).find(text) != std::string::npos; }

    TempDir work;
    const std::wstring site = work / L"site";
    CollectingReporter reporter;
};

} // namespace testing_support
