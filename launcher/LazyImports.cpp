// The launcher's system libraries that its first paint does not need, bound
// at their first call instead of at load: the network, the signatures, the
// pictures, COM, accessibility and the shell. Loading them all before WinMain
// cost about as much as the rest of the start to the window.
//
// Each function below defines the import slot its callers read (the
// "__imp_" pointer the linker would otherwise fill from the import library):
// it starts at a stub that loads the library from the system folder, finds
// the function, puts it in the slot and calls it. Later calls go straight to
// the function. A function used by the launcher but missing here is bound at
// load time again; the build's import check says so.
#include "environment/SystemLibrary.h"

#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <oleacc.h>
#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <wininet.h>

#include <string>
#include <type_traits>

// GDI+'s flat functions, as its headers declare them; only the types of
// their arguments matter here.
extern "C" {
struct GdiplusStartupInput;
struct GdiplusStartupOutput;
typedef int GpStatus;
typedef void GpImage;
typedef void GpGraphics;
DECLSPEC_IMPORT GpStatus WINAPI GdiplusStartup(ULONG_PTR*, const GdiplusStartupInput*, GdiplusStartupOutput*);
DECLSPEC_IMPORT void* WINAPI GdipAlloc(size_t);
DECLSPEC_IMPORT void WINAPI GdipFree(void*);
DECLSPEC_IMPORT GpStatus WINAPI GdipCloneImage(GpImage*, GpImage**);
DECLSPEC_IMPORT GpStatus WINAPI GdipCreateFromHDC(HDC, GpGraphics**);
DECLSPEC_IMPORT GpStatus WINAPI GdipDeleteGraphics(GpGraphics*);
DECLSPEC_IMPORT GpStatus WINAPI GdipDisposeImage(GpImage*);
DECLSPEC_IMPORT GpStatus WINAPI GdipDrawImageRectI(GpGraphics*, GpImage*, INT, INT, INT, INT);
DECLSPEC_IMPORT GpStatus WINAPI GdipGetImageHeight(GpImage*, UINT*);
DECLSPEC_IMPORT GpStatus WINAPI GdipGetImageWidth(GpImage*, UINT*);
DECLSPEC_IMPORT GpStatus WINAPI GdipLoadImageFromStream(IStream*, GpImage**);
DECLSPEC_IMPORT GpStatus WINAPI GdipSetInterpolationMode(GpGraphics*, int);
DECLSPEC_IMPORT GpStatus WINAPI GdipSetPixelOffsetMode(GpGraphics*, int);
}

namespace {

struct LazyLibrary {
    const wchar_t* name;
    HMODULE module;
};

LazyLibrary g_wininet = {L"wininet.dll", nullptr};
LazyLibrary g_bcrypt = {L"bcrypt.dll", nullptr};
LazyLibrary g_crypt32 = {L"crypt32.dll", nullptr};
LazyLibrary g_gdiplus = {L"gdiplus.dll", nullptr};
LazyLibrary g_ole32 = {L"ole32.dll", nullptr};
LazyLibrary g_oleaut32 = {L"oleaut32.dll", nullptr};
LazyLibrary g_oleacc = {L"oleacc.dll", nullptr};
LazyLibrary g_shell32 = {L"shell32.dll", nullptr};

// The library from the system folder only (never one planted beside the
// launcher or in the current folder), loaded once; two threads that race here
// load it twice, which only counts it twice.
FARPROC Resolve(LazyLibrary& library, const char* function)
{
    HMODULE module = static_cast<HMODULE>(InterlockedCompareExchangePointer(
        reinterpret_cast<void* volatile*>(&library.module), nullptr, nullptr));
    if (!module) {
        module = LoadSystemLibrary(library.name);
        if (module)
            InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&library.module), module);
    }
    FARPROC found = module ? GetProcAddress(module, function) : nullptr;
    if (!found) {
        // What a load-time import would have refused before the start.
        const std::string text = std::string("MorvIndex: ") + function + " not found";
        FatalAppExitA(0, text.c_str());
    }
    return found;
}

// The bytes a stdcall function's argument takes on the stack (a reference
// passes as a pointer): their sum is the suffix of the function's decorated
// name on 32-bit Windows.
template <typename T>
constexpr size_t StackBytes()
{
    const size_t size = std::is_reference<T>::value ? sizeof(void*) : sizeof(T);
    return (size + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*);
}

template <typename F>
struct Stub;

template <typename R, typename... Args>
struct Stub<R(WINAPI*)(Args...)> {
    static constexpr size_t kArgumentBytes = (size_t{0} + ... + StackBytes<Args>());

    template <void** Slot, LazyLibrary* Library, const char* Name>
    static R WINAPI Call(Args... args)
    {
        using Function = R(WINAPI*)(Args...);
        const Function function = reinterpret_cast<Function>(reinterpret_cast<void*>(Resolve(*Library, Name)));
        InterlockedExchangePointer(Slot, reinterpret_cast<void*>(function));
        return function(args...);
    }
};

} // namespace

#ifdef _WIN64
#define MORVINDEX_IMPORT_NAME(function, bytes) "__imp_" #function
#define MORVINDEX_CALL_NAME(function, bytes) #function
#define MORVINDEX_JUMP(function, bytes) "jmp *" MORVINDEX_IMPORT_NAME(function, bytes) "(%rip)"
#else
#define MORVINDEX_IMPORT_NAME(function, bytes) "__imp__" #function "@" #bytes
#define MORVINDEX_CALL_NAME(function, bytes) "_" #function "@" #bytes
#define MORVINDEX_JUMP(function, bytes) "jmp *" MORVINDEX_IMPORT_NAME(function, bytes)
#endif

// One import slot bound at first call, and the function that jumps through it
// for callers whose headers do not mark the function as imported. bytes is
// the function's argument size, checked against its declaration.
#define MORVINDEX_LAZY(library, function, bytes)                                                              \
    extern "C" void* g_lazy_##function asm(MORVINDEX_IMPORT_NAME(function, bytes));                           \
    namespace {                                                                                               \
    constexpr char kName_##function[] = #function;                                                            \
    static_assert(sizeof(void*) == 8 || Stub<decltype(&::function)>::kArgumentBytes == bytes,                 \
                  #function ": the argument size differs from its declaration");                             \
    }                                                                                                         \
    void* g_lazy_##function = reinterpret_cast<void*>(                                                        \
        &Stub<decltype(&::function)>::Call<&g_lazy_##function, &library, kName_##function>);                 \
    asm(".text\n.globl " MORVINDEX_CALL_NAME(function, bytes) "\n" MORVINDEX_CALL_NAME(function, bytes) ":\n\t" \
        MORVINDEX_JUMP(function, bytes) "\n");

MORVINDEX_LAZY(g_wininet, HttpOpenRequestA, 32)
MORVINDEX_LAZY(g_wininet, HttpQueryInfoA, 20)
MORVINDEX_LAZY(g_wininet, HttpSendRequestA, 20)
MORVINDEX_LAZY(g_wininet, InternetCloseHandle, 4)
MORVINDEX_LAZY(g_wininet, InternetConnectA, 32)
MORVINDEX_LAZY(g_wininet, InternetOpenA, 20)
MORVINDEX_LAZY(g_wininet, InternetQueryDataAvailable, 16)
MORVINDEX_LAZY(g_wininet, InternetReadFile, 16)
MORVINDEX_LAZY(g_wininet, InternetSetOptionA, 16)
MORVINDEX_LAZY(g_wininet, InternetSetOptionW, 16)

MORVINDEX_LAZY(g_bcrypt, BCryptCloseAlgorithmProvider, 8)
MORVINDEX_LAZY(g_bcrypt, BCryptCreateHash, 28)
MORVINDEX_LAZY(g_bcrypt, BCryptDestroyHash, 4)
MORVINDEX_LAZY(g_bcrypt, BCryptDestroyKey, 4)
MORVINDEX_LAZY(g_bcrypt, BCryptFinishHash, 16)
MORVINDEX_LAZY(g_bcrypt, BCryptHashData, 16)
MORVINDEX_LAZY(g_bcrypt, BCryptImportKeyPair, 28)
MORVINDEX_LAZY(g_bcrypt, BCryptOpenAlgorithmProvider, 16)
MORVINDEX_LAZY(g_bcrypt, BCryptVerifySignature, 28)

MORVINDEX_LAZY(g_crypt32, CryptBinaryToStringA, 20)
MORVINDEX_LAZY(g_crypt32, CryptDecodeObjectEx, 32)
MORVINDEX_LAZY(g_crypt32, CryptStringToBinaryA, 28)

MORVINDEX_LAZY(g_gdiplus, GdipAlloc, 4)
MORVINDEX_LAZY(g_gdiplus, GdipCloneImage, 8)
MORVINDEX_LAZY(g_gdiplus, GdipCreateFromHDC, 8)
MORVINDEX_LAZY(g_gdiplus, GdipDeleteGraphics, 4)
MORVINDEX_LAZY(g_gdiplus, GdipDisposeImage, 4)
MORVINDEX_LAZY(g_gdiplus, GdipDrawImageRectI, 24)
MORVINDEX_LAZY(g_gdiplus, GdipFree, 4)
MORVINDEX_LAZY(g_gdiplus, GdipGetImageHeight, 8)
MORVINDEX_LAZY(g_gdiplus, GdipGetImageWidth, 8)
MORVINDEX_LAZY(g_gdiplus, GdipLoadImageFromStream, 8)
MORVINDEX_LAZY(g_gdiplus, GdipSetInterpolationMode, 8)
MORVINDEX_LAZY(g_gdiplus, GdipSetPixelOffsetMode, 8)
MORVINDEX_LAZY(g_gdiplus, GdiplusStartup, 12)

MORVINDEX_LAZY(g_ole32, CoCreateInstance, 20)
MORVINDEX_LAZY(g_ole32, CoInitializeEx, 8)
MORVINDEX_LAZY(g_ole32, CoTaskMemFree, 4)
MORVINDEX_LAZY(g_ole32, CoUninitialize, 0)
MORVINDEX_LAZY(g_ole32, CreateStreamOnHGlobal, 12)

MORVINDEX_LAZY(g_oleaut32, SysAllocString, 4)
MORVINDEX_LAZY(g_oleaut32, VarDateFromStr, 16)

MORVINDEX_LAZY(g_oleacc, CreateStdAccessibleObject, 16)
MORVINDEX_LAZY(g_oleacc, LresultFromObject, 12)

MORVINDEX_LAZY(g_shell32, CommandLineToArgvW, 8)
MORVINDEX_LAZY(g_shell32, SHCreateDirectoryExW, 12)
MORVINDEX_LAZY(g_shell32, SHGetKnownFolderPath, 16)
MORVINDEX_LAZY(g_shell32, ShellExecuteW, 24)
