// The setup program's name, the files it must carry, and those files
// appended after the launcher's image with the trailer and split off again.
#include "format/SetupImage.h"

#include "format/LauncherImage.h"
#include "format/ServerFile.h"
#include "store/FileNames.h"
#include "store/Text.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

const wchar_t* const kSetupProgramFile = L"MorvIndex-setup.exe";

namespace {

// The trailer: where the carried files start (8 bytes), how many (4), the mark (16).
const char kSetupMark[] = "MORVINDEX-SETUP1";
constexpr size_t kMarkSize = sizeof kSetupMark - 1;
constexpr size_t kTrailerSize = 8 + 4 + kMarkSize;

void PutNumber(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetNumber(const std::string& in, size_t at, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[at + i]);
    return value;
}

} // namespace

bool IsSetupProgramFile(const std::wstring& fileName)
{
    return SameFileName(fileName, kSetupProgramFile);
}

std::vector<std::wstring> SetupFileNames()
{
    std::vector<std::wstring> names = {kLauncherLibraryFile};
    names.insert(names.end(), std::begin(kLauncherPictures), std::end(kLauncherPictures));
    names.push_back(kServerFileName);
    return names;
}

std::string AppendSetupFiles(const std::string& image, const std::vector<SetupFile>& files)
{
    std::string out = image;
    for (const SetupFile& file : files) {
        const std::string name = Utf8FromWide(file.name);
        PutNumber(out, name.size(), 4);
        out += name;
        PutNumber(out, file.bytes.size(), 8);
        out += file.bytes;
    }
    PutNumber(out, image.size(), 8);
    PutNumber(out, files.size(), 4);
    out.append(kSetupMark, kMarkSize);
    return out;
}

bool SplitSetupFiles(const std::string& bytes, std::string& image, std::vector<SetupFile>& files,
                     std::string& problem)
{
    files.clear();
    if (bytes.size() < kTrailerSize || bytes.compare(bytes.size() - kMarkSize, kMarkSize, kSetupMark) != 0) {
        problem = "the program carries no setup files";
        return false;
    }
    const size_t end = bytes.size() - kTrailerSize;
    const uint64_t start = GetNumber(bytes, end, 8);
    const uint64_t count = GetNumber(bytes, end + 8, 4);
    const std::vector<std::wstring> wanted = SetupFileNames();
    if (start > end || count != wanted.size()) {
        problem = "the setup files' trailer does not fit the program";
        return false;
    }
    size_t at = static_cast<size_t>(start);
    for (uint64_t i = 0; i < count; ++i) {
        if (end - at < 4 || end - at - 4 < GetNumber(bytes, at, 4)) {
            problem = "a setup file's name runs past the end";
            return false;
        }
        const size_t nameSize = static_cast<size_t>(GetNumber(bytes, at, 4));
        SetupFile file;
        file.name = WideFromUtf8(bytes.substr(at + 4, nameSize));
        at += 4 + nameSize;
        if (std::find(wanted.begin(), wanted.end(), file.name) == wanted.end() ||
            std::any_of(files.begin(), files.end(), [&](const SetupFile& seen) { return seen.name == file.name; })) {
            problem = "the setup carries an unexpected file \"" + Utf8FromWide(file.name) + "\"";
            return false;
        }
        if (end - at < 8 || end - at - 8 < GetNumber(bytes, at, 8)) {
            problem = "the setup file " + Utf8FromWide(file.name) + " runs past the end";
            return false;
        }
        const size_t size = static_cast<size_t>(GetNumber(bytes, at, 8));
        file.bytes = bytes.substr(at + 8, size);
        at += 8 + size;
        files.push_back(std::move(file));
    }
    if (at != end) {
        problem = "the setup files leave bytes unaccounted for";
        return false;
    }
    image = bytes.substr(0, static_cast<size_t>(start));
    return true;
}
