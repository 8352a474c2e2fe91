// The setup program a maker offers for download: a launcher executable with
// the files of its build and the maker's server.dat appended after the image
// (Windows loads the image and ignores what follows it). The launcher finds
// them in its own file by the trailer at the very end.
#pragma once

#include <string>
#include <vector>

/// The file name a setup program is offered under: "MorvIndex-setup.exe".
extern const wchar_t* const kSetupProgramFile;

/// True when fileName (no folder) is the setup program's, in any case.
bool IsSetupProgramFile(const std::wstring& fileName);

/// One file carried by a setup program.
struct SetupFile {
    std::wstring name; // one of the launcher build's names or server.dat, never a path
    std::string bytes;
};

/// The names a setup program must carry, each once: the library, the five
/// pictures and server.dat.
std::vector<std::wstring> SetupFileNames();

/// image with files appended.
std::string AppendSetupFiles(const std::string& image, const std::vector<SetupFile>& files);

/// Splits a setup program's bytes into the executable image and the files it
/// carries. False, with problem saying why, for a file without the trailer,
/// with sizes that do not fit, a name that is not one of SetupFileNames(),
/// a name twice, or one missing.
bool SplitSetupFiles(const std::string& bytes, std::string& image, std::vector<SetupFile>& files,
                     std::string& problem);
