// What a launcher build's files say about themselves: the width of a Windows
// image from its PE header, and the build from its version resource. Read
// from the bytes, so the maker's tool and the launcher decide alike.
#pragma once

#include <string>

/// The processor a Windows image is made for.
enum class ImageWidth { Unknown, I686, X86_64 };

struct ImageFacts {
    ImageWidth width = ImageWidth::Unknown; // Unknown: no PE image, or another processor
    bool library = false;                   // a DLL rather than a program
    int build = 0;                          // last number of FILEVERSION; 0 without a version resource
};

/// Reads the PE header and the fixed part of the version resource of an
/// image's bytes.
ImageFacts ReadImageFacts(const std::string& bytes);

/// "i686" or "x86_64" ("" for Unknown): the names the site and the index use.
const char* WidthName(ImageWidth width);

/// The width of the running process's own image.
ImageWidth RunningWidth();

/// The files of a launcher build, as they lie beside the executable: the
/// program, its library, and the list's pictures. The program's name is the
/// one a build is published under; an installed launcher may carry another.
/// The pictures come in the order the list places them: console program,
/// window program, update available, up to date, not installed.
extern const wchar_t* const kLauncherProgramFile; // "MorvIndex.exe"
extern const wchar_t* const kLauncherLibraryFile; // "trelko_util_r.dll"
extern const wchar_t* const kLauncherPictures[5];

/// A launcher build in a folder: its program's width and build, or what is
/// wrong with it ("" when nothing).
struct LauncherBuild {
    ImageWidth width = ImageWidth::Unknown;
    int build = 0;
    std::string problem;
};

/// Reads folder's MorvIndex.exe and trelko_util_r.dll (folder ends with a
/// backslash). A problem when either is missing, the program is no program,
/// of no width we build, or names no build, and when the library is no
/// library or of the other width. The pictures are not looked at.
LauncherBuild InspectLauncherFolder(const std::wstring& folder);

/// SW_TYPE of a launcher section: 10 and above are never listed.
constexpr int kLauncherSectionType = 10;

/// The index section offering launcher builds of a width: "MORVINDEX_LAUNCHER_I686".
std::string LauncherSection(ImageWidth width);

/// Where a launcher archive lies below BASE: "launcher/i686/MorvIndex_8.zip".
std::string LauncherArchivePath(ImageWidth width, int build);
