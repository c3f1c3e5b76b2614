#include "pool/WorkerDocument.h"

#include "base/Error.h"
#include "conversion/AvailableMemory.h"
#include "pool/PageWorker.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace folioxa {

namespace {

bool WaitInPoll(int fd) {
    pollfd readable{fd, POLLIN, 0};
    while (poll(&readable, 1, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Clears a flag however the scope is left.
class TBusy {
public:
    explicit TBusy(bool& flag) : FFlag(flag) { FFlag = true; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;
    ~TBusy() { FFlag = false; }

private:
    bool& FFlag;
};

const char* const kOpening = "The PDF engine stopped while opening the document";

} // namespace

TWorkerDocument::TWorkerDocument(std::string name) : FName(std::move(name)), FWait(WaitInPoll) {}

TWorkerDocument::~TWorkerDocument() = default;

void TWorkerDocument::CheckInactive() const {
    if (FActive) {
        throw Error(ErrorKind::Pdf,
                    "Cannot perform this operation on an active " + FName + " component");
    }
}

void TWorkerDocument::SetFileName(const std::string& fileName) {
    CheckInactive();
    FFileName = fileName;
}

void TWorkerDocument::SetPassword(const std::string& password) {
    CheckInactive();
    FPassword = password;
}

void TWorkerDocument::SetFileHandle(int fileHandle) {
    CheckInactive();
    FFileHandle = fileHandle;
}

int TWorkerDocument::PageCount() {
    if (!FActive) {
        throw Error(ErrorKind::Pdf,
                    "Cannot perform this operation on an inactive " + FName + " component");
    }
    return FPageCount;
}

void TWorkerDocument::SetActive(bool active) {
    if (active == FActive) {
        return;
    }
    if (!active) {
        if (!FKeepWorker) {
            FWorker.reset();
        }
        FFile.reset();
        FActive = false;
        FPageCount = 0;
        return;
    }
    // The worker reads the file this process opened; only a name this process cannot open as a
    // regular file goes to the engine by name, to be refused with the engine's own message.
    FileDescriptor file;
    if (FFileHandle >= 0) {
        file.Reset(fcntl(FFileHandle, F_DUPFD_CLOEXEC, 0));
    } else {
        file.Reset(::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat status {};
        if (file && (fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))) {
            file.Reset();
        }
    }
    if (!FWorker) {
        const std::int64_t workers = std::max(FOptions.Workers, 1);
        FWorker = std::make_unique<TPageWorker>(
            FOptions.WorkerPath.empty() ? DefaultWorkerPath() : FOptions.WorkerPath,
            WorkerMemoryLimit(FOptions, workers, AvailableMemory().value_or(0)),
            WorkerEngineMemory(FOptions));
    }
    bool answered = false;
    try {
        FWorker->Link().Send(FrameType::Open, 0, EncodeOpen({FFileName, FPassword, FDrawing}),
                             file.Get());
        FPageCount = AwaitOpened(answered);
    } catch (...) {
        // A worker that answered may open the next document; one that did not is ended.
        if (!FKeepWorker || !answered) {
            FWorker.reset();
        }
        throw;
    }
    FFile = std::make_shared<FileDescriptor>(std::move(file));
    FActive = true;
}

int TWorkerDocument::AwaitOpened(bool& answered) {
    const TBusy busy(FBusy);
    Channel& link = FWorker->Link();
    // The answer, or the worker's standard error, which it may fill first: one descriptor to
    // wait on for both.
    const FileDescriptor events(epoll_create1(EPOLL_CLOEXEC));
    if (!events) {
        throw Error(std::string(kOpening) + " (" + std::strerror(errno) + ")");
    }
    for (const int fd : {link.Fd(), FWorker->Output().Fd()}) {
        epoll_event readable{EPOLLIN, {.fd = fd}};
        epoll_ctl(events.Get(), EPOLL_CTL_ADD, fd, &readable);
    }
    for (;;) {
        // Closed at its end or its bound, which takes it out of the epoll set.
        FWorker->Output().Read();
        std::optional<Failure> failure;
        try {
            if (std::optional<Frame> frame = link.ReadFrame()) {
                if (frame->Type == FrameType::Opened) {
                    const int count = DecodeCount(frame->Payload);
                    answered = true;
                    return count;
                }
                failure = DecodeFailure(frame->Payload);
                answered = true;
            }
        } catch (const EProtocolError& e) {
            throw Error(ErrorKind::Protocol,
                        "The PDF engine broke the page workers' protocol while opening the "
                        "document: " +
                            std::string(e.what()));
        }
        if (failure) {
            throw Error(failure->Kind, failure->Message);
        }
        if (link.Ended()) {
            throw Error(ErrorKind::Pdf, std::string(kOpening) + " (" + FWorker->End() + ")");
        }
        if (!FWait(events.Get())) {
            throw Error(std::string(kOpening) + " (the wait for it was given up)");
        }
    }
}

std::unique_ptr<TPageWorker> TWorkerDocument::TakeWorker() {
    return std::move(FWorker);
}

} // namespace folioxa
