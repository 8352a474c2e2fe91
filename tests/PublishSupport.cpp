// The maker's tool's shared test helpers (PublishSupport.h).
#include "tests/PublishSupport.h"

#include "format/ArchiveEntries.h"
#include "net/Crypto.h"
#include "store/Text.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace testing_support {

LoopbackServer::Handler FolderFiles(const std::wstring& folder)
{
    return [folder](const HttpRequest& request) {
        HttpResponse response;
        std::wstring path = folder;
        for (wchar_t c : WideFromUtf8(request.target.substr(1)))
            path += c == L'/' ? L'\\' : c;
        if (!FileExists(path)) {
            response.status = 404;
            response.body = "<html>404</html>";
        } else {
            response.body = ReadBytes(path);
        }
        return response;
    };
}

FILETIME UtcTime(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return file;
}

void WriteFileAt(const std::wstring& path, const std::string& bytes, FILETIME time)
{
    fs::create_directories(fs::path(path).parent_path());
    WriteBytes(path, bytes);
    SetWriteTime(path, time);
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

void EditIndex(const std::wstring& site, const std::function<void(DataFileLines&)>& edit)
{
    DataFileLines lines(ReadBytes(site + L"\\sw_index.dat"));
    edit(lines);
    WriteBytes(site + L"\\sw_index.dat", lines.Text());
}

void RemapAbc(const std::wstring& site, const std::string& entries)
{
    WriteBytes(site + L"\\ABC\\ABC_7.zip.entries", entries);
    EditIndex(site, [&entries](DataFileLines& lines) {
        lines.Set("ABC", "ENTRIES_SHA256", HexOf(Sha256Of(entries)));
        lines.Set("ABC", "ENTRIES_SIZE", std::to_string(entries.size()));
    });
}

void RepublishAbc(const std::wstring& site, const std::string& bytes)
{
    WriteBytes(site + L"\\ABC\\ABC_7.zip", bytes);
    EditIndex(site, [&bytes](DataFileLines& lines) {
        lines.Set("ABC", "SHA256", HexOf(Sha256Of(bytes)));
        lines.Set("ABC", "SIZE", std::to_string(bytes.size()));
    });
    ArchiveEntries entries;
    if (DescribeArchive(site + L"\\ABC\\ABC_7.zip", entries))
        RemapAbc(site, FormatEntriesFile(entries));
}

std::string ZipOf(const std::vector<ZipEntry>& entries, const std::wstring& scratch)
{
    WriteZip(scratch, entries);
    return ReadBytes(scratch);
}

} // namespace testing_support
