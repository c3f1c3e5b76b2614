#pragma once

#include "base/Error.h"
#include "pdf/PdfAbi.h"

#include <memory>
#include <string>
#include <vector>

namespace folioxa {

// A failure of the PDF engine or of the document component; carries the text the user sees.
class EPdfError : public Error {
public:
    explicit EPdfError(const std::string& message) : Error(ErrorKind::Pdf, message) {}

protected:
    EPdfError(ErrorKind kind, const std::string& message) : Error(kind, message) {}
};

// The engine refused the document's password (or it needs one): the one failure worth a prompt.
class EPasswordError : public EPdfError {
public:
    explicit EPasswordError(const std::string& message) : EPdfError(ErrorKind::Password, message) {}
};

// Binds one engine library file by name. The process uses one instance for "libpdfium.so"
// (ProcessPdfLibrary); tests may make their own to bind another file.
class PdfLibrary {
public:
    explicit PdfLibrary(std::string fileName);
    // Once loaded the library stays loaded for the life of the process: nothing is released here.
    ~PdfLibrary() = default;
    PdfLibrary(const PdfLibrary&) = delete;
    PdfLibrary& operator=(const PdfLibrary&) = delete;

    // Loads the library (dlopen by plain name, so the platform's search decides the folder), binds
    // every entry of the function table and calls FPDF_InitLibrary; does nothing once done.
    // Throws EPdfError "<system text>: <file name>" when the library cannot be loaded and
    // "<system text>: <export name>" when an export is missing; the library is released then and
    // the next call tries again.
    void Load();
    bool Loaded() const { return FHandle != nullptr; }
    // How many times Load bound and initialised the engine (at most once for a good library).
    int LoadCount() const { return FLoadCount; }

    const std::string& FileName() const { return FFileName; }
    // The file the loader found for FileName, as an absolute path; empty until loaded.
    std::string LoadedPath() const;
    // Refused (EPdfError) once the library is loaded.
    void SetFileName(std::string fileName);

    // The bound functions; every required entry is set once Loaded().
    const pdfium::PdfFunctions& Functions() const { return FFunctions; }
    // Tests wrap single entries to watch what reaches the engine.
    pdfium::PdfFunctions& FunctionsForTesting() { return FFunctions; }

private:
    void Unload();

    std::string FFileName;
    void* FHandle = nullptr;
    int FLoadCount = 0;
    pdfium::PdfFunctions FFunctions;
};

// The process's engine library ("libpdfium.so"), never destroyed.
PdfLibrary& ProcessPdfLibrary();

// ProcessPdfLibrary().Load(): called at the start of every document open.
void LoadPdfLibrary();

// What the process library reads once loaded: its own folder and the font folders that pdfium
// searches on Linux when the embedder names none (FPDF_InitLibrary is called without any).
std::vector<std::string> PdfEngineReadPaths();

// The process library's bound functions (valid after LoadPdfLibrary).
inline const pdfium::PdfFunctions& Pdfium() {
    return ProcessPdfLibrary().Functions();
}

// One owner per engine handle; each releases through the process library.
struct DocumentCloser {
    void operator()(pdfium::FPDF_DOCUMENT document) const { Pdfium().FPDF_CloseDocument(document); }
};
struct PageCloser {
    void operator()(pdfium::FPDF_PAGE page) const { Pdfium().FPDF_ClosePage(page); }
};
// Leaves the form-fill environment; the document's will-close action is the owner's to run first.
struct FormFillExit {
    void operator()(pdfium::FPDF_FORMHANDLE form) const {
        Pdfium().FPDFDOC_ExitFormFillEnvironment(form);
    }
};
struct BitmapDestroyer {
    void operator()(pdfium::FPDF_BITMAP bitmap) const { Pdfium().FPDFBitmap_Destroy(bitmap); }
};
using ScopedDocument = std::unique_ptr<pdfium::FpdfDocument, DocumentCloser>;
using ScopedPage = std::unique_ptr<pdfium::FpdfPage, PageCloser>;
using ScopedFormHandle = std::unique_ptr<pdfium::FpdfForm, FormFillExit>;
using ScopedBitmap = std::unique_ptr<pdfium::FpdfBitmap, BitmapDestroyer>;

// Removes trailing blanks, control characters and full stops from a system message.
std::string TrimSystemMessage(std::string text);

} // namespace folioxa
