// The manifest each build of the launcher carries, read from the built
// executables as Windows reads it: its own architecture, the Windows versions
// it was made for, DPI awareness and the common controls 6.
#include "store/Text.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace testing_support;

namespace {

/// The text of manifest resource 1 of an executable, read as data (so an
/// executable of the other width reads as well); empty when it has none.
std::string ManifestOf(const std::wstring& executable)
{
    HMODULE module = LoadLibraryExW(executable.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        return std::string();
    std::string text;
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    if (loaded)
        text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, resource));
    FreeLibrary(module);
    return text;
}

/// The value of attribute name in the first element that starts with element.
std::string Attribute(const std::string& manifest, const std::string& element, const std::string& name)
{
    size_t start = manifest.find("<" + element + " ");
    if (start == std::string::npos)
        return "<no " + element + ">";
    size_t end = manifest.find('>', start);
    size_t at = manifest.find(" " + name + "=\"", start);
    if (at == std::string::npos || at > end)
        return "<no " + name + ">";
    at += name.size() + 3;
    return manifest.substr(at, manifest.find('"', at) - at);
}

/// The text of the first element named element (namespace declarations allowed).
std::string ElementText(const std::string& manifest, const std::string& element)
{
    size_t start = manifest.find("<" + element);
    if (start == std::string::npos)
        return "<no " + element + ">";
    start = manifest.find('>', start) + 1;
    return manifest.substr(start, manifest.find("</" + element + ">", start) - start);
}

void ExpectLauncherManifest(const std::string& manifest, const std::string& architecture)
{
    ASSERT_FALSE(manifest.empty()) << "no manifest resource";
    EXPECT_EQ("MorvIndex", Attribute(manifest, "assemblyIdentity", "name"));
    const std::string own = Attribute(manifest, "assemblyIdentity", "processorArchitecture");
    EXPECT_TRUE(own == architecture || own == "*") << own;
    EXPECT_EQ("1.0.0." MORVINDEX_BUILD_TEXT, Attribute(manifest, "assemblyIdentity", "version"));
    // Windows 7, 8, 8.1 and 10/11: without them Windows treats the program as
    // one made for Vista and applies its compatibility behaviour.
    for (const char* id : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(std::string::npos, manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>")) << id;
    EXPECT_EQ("true", ElementText(manifest, "dpiAware"));
    EXPECT_EQ("PerMonitorV2, System", ElementText(manifest, "dpiAwareness"));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_EQ("asInvoker", Attribute(manifest, "requestedExecutionLevel", "level"));
}

#if defined(_WIN64)
const char kOwnArchitecture[] = "amd64";
const char kOtherArchitecture[] = "x86";
#else
const char kOwnArchitecture[] = "x86";
const char kOtherArchitecture[] = "amd64";
#endif

} // namespace

TEST(Manifest, LauncherOfThisBuildNamesItsArchitectureAndIsReadByWindows)
{
    const std::wstring launcher = BinaryFolder() + L"MorvIndex.exe";
    ExpectLauncherManifest(ManifestOf(launcher), kOwnArchitecture);

    // The activation context Windows makes from it: a manifest it cannot
    // parse gives none, and the settings are the ones it applies.
    ACTCTXW context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = launcher.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE activation = CreateActCtxW(&context);
    ASSERT_NE(INVALID_HANDLE_VALUE, activation) << GetLastError();
    wchar_t value[64] = {};
    SIZE_T written = 0;
    EXPECT_TRUE(QueryActCtxSettingsW(0, activation, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings",
                                     L"dpiAware", value, 64, &written));
    EXPECT_STREQ(L"true", value);
    ReleaseActCtx(activation);
}

TEST(Manifest, LauncherOfTheOtherBuildNamesItsOwnArchitecture)
{
    // scripts/test links the other width's launcher before the tests run.
    const std::wstring launcher = WideFromUtf8(MORVINDEX_OTHER_BUILD_LAUNCHER);
    if (GetFileAttributesW(launcher.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the other build's launcher is not built: " << MORVINDEX_OTHER_BUILD_LAUNCHER;
    ExpectLauncherManifest(ManifestOf(launcher), kOtherArchitecture);
}
