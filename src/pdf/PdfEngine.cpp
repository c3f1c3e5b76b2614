#include "pdf/PdfEngine.h"

#include <dlfcn.h>

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
        throw EPdfError(DlErrorText() + ": " + FFileName);
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

} // namespace folioxa
