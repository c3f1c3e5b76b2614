// folioxa-worker: opens the documents and draws the pages its parent hands it into the page
// buffers it is given, one engine to a process. Started by the window and folioxa-convert with
// its socket at descriptor 3 (pool/WorkerProcess.h); encodes nothing and writes no file.
#include "pdf/PDFium.h"
#include "pool/MemoryLimit.h"
#include "pool/WorkerLoop.h"
#include "pool/WorkerProcess.h"
#include "sandbox/Sandbox.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

using namespace folioxa;

// The engine and one document at a time, read through the descriptor the parent sent.
class TPdfEngine : public WorkerEngine {
public:
    // Binds the engine now, before the process confines itself; a failure is kept and becomes
    // every document's opening error, as it would be in the parent.
    TPdfEngine() {
        try {
            LoadPdfLibrary();
        } catch (const EPdfError& e) {
            FLoadError = e.what();
        }
    }

    ConversionDocument& Open(const OpenRequest& request, FileDescriptor file) override {
        if (FLoadError) {
            throw EPdfError(*FLoadError);
        }
        FPdf.SetActive(false);
        // Opening reloads the page number kept from the last document, which this one may lack.
        FPdf.SetPageNumber(0);
        FFile = std::move(file);
        FPdf.SetFileHandle(FFile.Get());
        FPdf.SetFileName(request.FileName);
        FPdf.SetPassword(request.Password);
        FPdf.SetDrawing(request.Drawing);
        // The form set-up can take the engine minutes: only a document whose pages are drawn
        // pays for it (PrepareDrawing), not one opened to be counted.
        FPdf.SetFormFill(false);
        FPdf.SetActive(true);
        return FPdf;
    }

    void PrepareDrawing() override { FPdf.CreateFormFill(); }

private:
    std::optional<std::string> FLoadError;
    FileDescriptor FFile; // outlives the document's opening below
    TPdf FPdf{"Pdf"};
};

// The worker reads only what drawing needs: the engine's folder and its font folders; the
// documents arrive as open descriptors.
void ConfineWorker(bool unconfined) {
    if (unconfined) {
        return;
    }
#if defined(__SANITIZE_ADDRESS__)
    // The leak check at exit stops the process's threads with ptrace, which the sandbox refuses:
    // it runs once now instead (the same code runs in-process in the tests, checked at exit).
    __lsan_do_leak_check();
#endif
    SandboxOptions options;
    options.ReadablePaths = PdfEngineReadPaths();
    Confine(options);
}

} // namespace

int main(int argc, char** argv) {
    bool unconfined = false;
    std::uint64_t memoryLimit = 0;
    std::uint64_t engineMemory = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        // --memory-limit=BYTES: the address space this worker may take; --engine-memory=BYTES:
        // what the engine may take for a page beside its pixels.
        if (option.starts_with(kMemoryLimitOption)) {
            memoryLimit = std::strtoull(argv[i] + kMemoryLimitOption.size(), nullptr, 10);
        }
        if (option.starts_with(kEngineMemoryOption)) {
            engineMemory = std::strtoull(argv[i] + kEngineMemoryOption.size(), nullptr, 10);
        }
#ifdef FOLIOXA_TEST_SWITCHES
        // Lets the tests show that what the sandbox stops works without it; never compiled into
        // a build without tests, such as the package.
        unconfined = unconfined || option == kUnconfinedOption;
#endif
    }
    ApplyMemoryLimit(memoryLimit, engineMemory, kWorkerSocket);
    // A parent that has gone shows as a failed send, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    Channel channel(FileDescriptor(kWorkerSocket), WireSide::Worker);
    TPdfEngine engine;
    ConfineWorker(unconfined);
    try {
        return RunWorkerLoop(channel, engine);
    } catch (const std::exception&) {
        // The parent names the entry this worker held when it sees it end.
        return 1;
    }
}
