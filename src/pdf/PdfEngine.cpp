#include "pdf/PdfEngine.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>

namespace folioxa {
namespace {

// The engine carries its own FreeType and exports it: bound deep, its calls reach its own copy
// even where the process has loaded the system's (Qt does). The sanitizers' runtimes refuse
// RTLD_DEEPBIND, so those builds go without it.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDeepBind = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kDeepBind = 0;
#else
constexpr int kDeepBind = RTLD_DEEPBIND;
#endif
#else
constexpr int kDeepBind = RTLD_DEEPBIND;
#endif

std::string DlErrorText() {
    const char* text = dlerror();
    return TrimSystemMessage(text != nullptr ? text : "Unknown error");
}

// The sanitizers' dlopen interceptor makes their runtime the caller, so the program's own
// search path ($ORIGIN, where the engine is installed) is never tried: look there by hand.
void* OpenBesideProgram(const std::string& fileName) {
    if (fileName.find('/') != std::string::npos) {
        return nullptr;
    }
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return nullptr;
    }
    const std::string beside = (program.parent_path() / fileName).string();
    return dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL | kDeepBind);
}

} // namespace

std::string TrimSystemMessage(std::string text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.' ||
                             text.back() == '\x7F')) {
        text.pop_back();
    }
    return text;
}

PdfLibrary::PdfLibrary(std::string fileName) : FFileName(std::move(fileName)) {}

void PdfLibrary::SetFileName(std::string fileName) {
    if (Loaded()) {
        throw EPdfError("The PDF engine library is already loaded");
    }
    FFileName = std::move(fileName);
}

void PdfLibrary::Load() {
    if (Loaded()) {
        return;
    }
    dlerror(); // a stale text would otherwise stand for this failure
    FHandle = dlopen(FFileName.c_str(), RTLD_NOW | RTLD_LOCAL | kDeepBind);
    if (FHandle == nullptr) {
        const std::string failure = DlErrorText() + ": " + FFileName;
        FHandle = OpenBesideProgram(FFileName);
        if (FHandle == nullptr) {
            throw EPdfError(failure);
        }
    }

    // A function's address only comes through dlsym's void*; POSIX makes this cast valid.
#define FOLIOXA_PDFIUM_BIND(name, result, parameters, required)                                    \
    {                                                                                              \
        dlerror();                                                                                 \
        void* address = dlsym(FHandle, #name);                                                     \
        if (address == nullptr && (required)) {                                                    \
            const std::string message = DlErrorText() + ": " #name;                                \
            Unload();                                                                              \
            throw EPdfError(message);                                                              \
        }                                                                                          \
        FFunctions.name = reinterpret_cast<decltype(FFunctions.name)>(address);                    \
    }
    FOLIOXA_PDFIUM_FUNCTIONS(FOLIOXA_PDFIUM_BIND)
#undef FOLIOXA_PDFIUM_BIND

    // FPDF_InitLibraryWithConfig and FPDF_SetSandBoxPolicy are bound but never called.
    FFunctions.FPDF_InitLibrary();
    ++FLoadCount;
}

std::string PdfLibrary::LoadedPath() const {
    link_map* map = nullptr;
    if (FHandle == nullptr || dlinfo(FHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path path = std::filesystem::canonical(map->l_name, error);
    return error ? std::string() : path.string();
}

void PdfLibrary::Unload() {
    if (FHandle == nullptr) {
        return;
    }
    if (FFunctions.FPDF_DestroyLibrary != nullptr) {
        FFunctions.FPDF_DestroyLibrary();
    }
    dlclose(FHandle);
    FHandle = nullptr;
    FFunctions = {};
}

PdfLibrary& ProcessPdfLibrary() {
    // Deliberately never destroyed: the engine stays loaded until the process ends.
    static PdfLibrary* const library = new PdfLibrary("libpdfium.so");
    return *library;
}

void LoadPdfLibrary() {
    ProcessPdfLibrary().Load();
}

std::vector<std::string> PdfEngineReadPaths() {
    std::vector<std::string> paths = {"/usr/share/fonts", "/usr/share/X11/fonts/Type1",
                                      "/usr/share/X11/fonts/TTF", "/usr/local/share/fonts"};
    const std::string library = ProcessPdfLibrary().LoadedPath();
    if (!library.empty()) {
        paths.push_back(std::filesystem::path(library).parent_path().string());
    }
    return paths;
}

} // namespace folioxa
