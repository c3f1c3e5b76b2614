#pragma once

#include "conversion/ConversionDocument.h"
#include "pool/RenderPool.h"

#include <functional>
#include <memory>
#include <string>

namespace folioxa {

class TPageWorker;

// How a caller waits for a worker's answer: returns true once `fd` is readable, false when it
// gave the wait up (its program is quitting). The default blocks in poll.
using WorkerWait = std::function<bool(int fd)>;

// The PDF document as the window and the command line open it: the engine runs only in a page
// worker, which opens the document (from a descriptor this process opened) and counts its pages;
// the worker's own component gives every opening message, the password's refusal included. The
// properties keep the component's rules (FileName and Password refused while active). A run
// whose pages are drawn by the pool may take the worker over with its document still open.
class TWorkerDocument : public RunDocument {
public:
    explicit TWorkerDocument(std::string name = "Pdf");
    ~TWorkerDocument() override;
    TWorkerDocument(const TWorkerDocument&) = delete;
    TWorkerDocument& operator=(const TWorkerDocument&) = delete;

    // Where its workers come from and how much memory each may take: those of the runs to come,
    // so that a run can keep the worker that opened its document.
    void SetOptions(PoolOptions options) { FOptions = std::move(options); }
    const PoolOptions& Options() const { return FOptions; }
    void SetWait(WorkerWait wait) { FWait = std::move(wait); }
    // How the worker draws the pages of the documents it opens from now on, for a run that
    // keeps it; the default is the window's drawing.
    void SetDrawing(const DrawingOptions& drawing) override { FDrawing = drawing; }
    // Keeps the worker between openings, so that one process opens every document of a call;
    // by default it ends with each closing (and each failed opening), and nothing runs while the
    // window waits for its user.
    void SetKeepWorker(bool keep) { FKeepWorker = keep; }

    const std::string& Name() const { return FName; }
    bool Active() const { return FActive; }
    const std::string& FileName() const { return FFileName; }
    const std::string& Password() const { return FPassword; }
    int FileHandle() const { return FFileHandle; }
    int PageNumber() const { return FPageNumber; }
    // True while it waits for its worker.
    bool Busy() const { return FBusy; }

    // Refused while active (Error "Cannot perform this operation on an active <Name>
    // component"); the old value stays.
    void SetFileName(const std::string& fileName) override;
    void SetPassword(const std::string& password) override;
    void SetFileHandle(int fileHandle) override;
    // True opens the document in a worker (a new one, or the one kept) and waits for its page
    // count: Error with the opening's text and kind (Password when refused), or with how the
    // worker ended or broke the protocol. False ends the worker unless it is kept. Setting the
    // current value does nothing.
    void SetActive(bool active) override;
    // Error while inactive.
    int PageCount() override;
    // Stored only: the pages are loaded and drawn by the workers of the run.
    void SetPageNumber(int pageNumber) override { FPageNumber = pageNumber; }

    // The worker that holds the open document, for a run to draw with; null when there is none.
    // The document stays active until set inactive.
    std::unique_ptr<TPageWorker> TakeWorker();
    // The file the open document is read from, for the other workers of a run; null while
    // inactive, and when the engine was given the name alone.
    std::shared_ptr<FileDescriptor> File() const { return FFile && *FFile ? FFile : nullptr; }

private:
    void CheckInactive() const;
    // The worker's answer to the Open just sent; `answered` once it came, as the protocol wants.
    int AwaitOpened(bool& answered);

    std::string FName;
    std::string FFileName;
    std::string FPassword;
    int FFileHandle = -1;
    int FPageNumber = 0;
    bool FActive = false;
    bool FBusy = false;
    bool FKeepWorker = false;
    int FPageCount = 0;
    PoolOptions FOptions;
    DrawingOptions FDrawing;
    WorkerWait FWait;
    std::unique_ptr<TPageWorker> FWorker;
    std::shared_ptr<FileDescriptor> FFile;
};

} // namespace folioxa
