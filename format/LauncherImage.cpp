// A launcher build read from its bytes: the width from the PE header, the
// build from the version resource, a build folder's two files checked
// together, and the index section and archive path of a width.
#include "format/LauncherImage.h"

#include "store/AtomicFile.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

const wchar_t* const kLauncherProgramFile = L"MorvIndex.exe";
const wchar_t* const kLauncherLibraryFile = L"trelko_util_r.dll";
const wchar_t* const kLauncherPictures[5] = {L"sw_con.png", L"sw_win.png", L"up_001.png", L"up_002.png",
                                             L"up_003.png"};

namespace {

bool ReadU16(const std::string& bytes, size_t at, uint16_t& value)
{
    if (at > bytes.size() || bytes.size() - at < 2)
        return false;
    value = static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                  (static_cast<unsigned char>(bytes[at + 1]) << 8));
    return true;
}

bool ReadU32(const std::string& bytes, size_t at, uint32_t& value)
{
    uint16_t low = 0, high = 0;
    if (!ReadU16(bytes, at, low) || !ReadU16(bytes, at + 2, high))
        return false;
    value = low | (static_cast<uint32_t>(high) << 16);
    return true;
}

// The fixed part of a version resource follows the UTF-16 key
// "VS_VERSION_INFO" of its VS_VERSIONINFO block (length, value length and
// type words, the key with its end, padding to four bytes). The first such
// block whose fixed part carries the signature counts.
int VersionBuild(const std::string& bytes)
{
    static const char key[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0";
    const std::string pattern(key, sizeof key - 1);
    for (size_t found = bytes.find(pattern); found != std::string::npos; found = bytes.find(pattern, found + 1)) {
        if (found < 6)
            continue;
        const size_t block = found - 6;
        size_t fixed = block + 6 + pattern.size();
        fixed += (4 - fixed % 4) % 4;
        uint32_t signature = 0, versionLow = 0;
        if (ReadU32(bytes, fixed, signature) && signature == 0xFEEF04BD && ReadU32(bytes, fixed + 12, versionLow))
            return static_cast<int>(versionLow & 0xFFFF);
    }
    return 0;
}

} // namespace

ImageFacts ReadImageFacts(const std::string& bytes)
{
    ImageFacts facts;
    uint32_t header = 0, signature = 0;
    uint16_t machine = 0, characteristics = 0;
    if (bytes.size() < 64 || bytes.compare(0, 2, "MZ") != 0 || !ReadU32(bytes, 0x3C, header) ||
        !ReadU32(bytes, header, signature) || signature != 0x00004550 || !ReadU16(bytes, header + 4, machine) ||
        !ReadU16(bytes, header + 22, characteristics))
        return facts;
    if (machine == 0x014C)
        facts.width = ImageWidth::I686;
    else if (machine == 0x8664)
        facts.width = ImageWidth::X86_64;
    facts.library = (characteristics & 0x2000) != 0; // IMAGE_FILE_DLL
    facts.build = VersionBuild(bytes);
    return facts;
}

const char* WidthName(ImageWidth width)
{
    switch (width) {
    case ImageWidth::I686:
        return "i686";
    case ImageWidth::X86_64:
        return "x86_64";
    default:
        return "";
    }
}

ImageWidth RunningWidth() { return sizeof(void*) == 8 ? ImageWidth::X86_64 : ImageWidth::I686; }

LauncherBuild InspectLauncherFolder(const std::wstring& folder)
{
    LauncherBuild found;
    std::string program, library;
    if (!ReadFileBytes(folder + kLauncherProgramFile, program)) {
        found.problem = "no MorvIndex.exe";
        return found;
    }
    if (!ReadFileBytes(folder + kLauncherLibraryFile, library)) {
        found.problem = "no trelko_util_r.dll beside MorvIndex.exe";
        return found;
    }
    const ImageFacts programFacts = ReadImageFacts(program);
    const ImageFacts libraryFacts = ReadImageFacts(library);
    found.width = programFacts.width;
    found.build = programFacts.build;
    if (programFacts.width == ImageWidth::Unknown || programFacts.library)
        found.problem = "MorvIndex.exe is no Windows program for i686 or x86_64";
    else if (programFacts.build <= 0)
        found.problem = "MorvIndex.exe names no build in its version resource";
    else if (libraryFacts.width == ImageWidth::Unknown || !libraryFacts.library)
        found.problem = "trelko_util_r.dll is no Windows library";
    else if (libraryFacts.width != programFacts.width)
        found.problem = std::string("trelko_util_r.dll is an ") + WidthName(libraryFacts.width) +
                        " library beside an " + WidthName(programFacts.width) + " MorvIndex.exe";
    return found;
}

std::string LauncherSection(ImageWidth width)
{
    std::string name = std::string("MORVINDEX_LAUNCHER_") + WidthName(width);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return name;
}

std::string LauncherArchivePath(ImageWidth width, int build)
{
    return std::string("launcher/") + WidthName(width) + "/MorvIndex_" + std::to_string(build) + ".zip";
}
