// folioxa-worker: draws and encodes the pages its parent hands it, one engine to a process.
// Started by the window and folioxa-convert with its socket at descriptor 3; writes no file.
#include "pdf/PDFium.h"
#include "pool/WorkerLoop.h"

#include <malloc.h>

#include <csignal>

namespace {

using namespace folioxa;

// The engine and one document at a time, read through the descriptor the parent sent.
class TPdfEngine : public WorkerEngine {
public:
    ConversionDocument& Open(const DocumentJob& job, FileDescriptor file) override {
        FPdf.SetActive(false);
        // Opening reloads the page number kept from the last document, which this one may lack.
        FPdf.SetPageNumber(0);
        FFile = std::move(file);
        FPdf.SetFileHandle(FFile.Get());
        FPdf.SetFileName(job.FileName);
        FPdf.SetPassword(job.Password);
        FPdf.SetActive(true);
        return FPdf;
    }

private:
    FileDescriptor FFile; // outlives the document's opening below
    TPdf FPdf{"Pdf"};
};

} // namespace

int main() {
    // Page bitmaps of tens of megabytes would each get fresh pages from the system (mmap), which
    // the kernel faults in and zeroes anew for every page; kept in the heap they are reused.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    // A parent that has gone shows as a failed send, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    Channel channel(FileDescriptor(3));
    TPdfEngine engine;
    try {
        return RunWorkerLoop(channel, engine);
    } catch (const std::exception&) {
        // The parent names the entry this worker held when it sees it end.
        return 1;
    }
}
