#include "pool/Thumbnails.h"

#include "base/Error.h"
#include "conversion/AvailableMemory.h"
#include "conversion/ConversionJob.h"
#include "pool/PageBuffer.h"
#include "pool/PageWorker.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace folioxa {

namespace {

constexpr double kDefaultPageSeconds = 30;

void Watch(int epoll, int fd) {
    if (fd >= 0) {
        epoll_event readable{EPOLLIN, {.fd = fd}};
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &readable);
    }
}

} // namespace

TThumbnailWorker::TThumbnailWorker(const std::string& fileName, const std::string& password,
                                   int fit, PoolOptions options)
    : FFileName(fileName), FPassword(password), FFit(std::max(fit, 1)),
      FOptions(std::move(options)) {
    if (FOptions.WorkerPath.empty()) {
        FOptions.WorkerPath = DefaultWorkerPath();
    }
    if (FOptions.PageTimeoutSeconds <= 0) {
        FOptions.PageTimeoutSeconds = kDefaultPageSeconds;
    }
    // The worker reads the file opened here, as a run's workers do; a name that is no regular
    // file goes to the engine by name, to be refused with its own message.
    FFile.Reset(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (FFile && (fstat(FFile.Get(), &status) != 0 || !S_ISREG(status.st_mode))) {
        FFile.Reset();
    }
    FEpoll.Reset(epoll_create1(EPOLL_CLOEXEC));
    FClock.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!FEpoll || !FClock) {
        throw Error(std::string("Cannot start a page worker: ") + std::strerror(errno));
    }
    Watch(FEpoll.Get(), FClock.Get());
    FBuffer = std::make_unique<TPageBuffer>(static_cast<std::size_t>(FFit) *
                                            static_cast<std::size_t>(FFit) * 4);
    Start();
}

TThumbnailWorker::~TThumbnailWorker() = default;

void TThumbnailWorker::Start() {
    // A page the engine would take the machine for costs its picture alone, as in a run.
    FWorker = std::make_unique<TPageWorker>(
        FOptions.WorkerPath, WorkerMemoryLimit(FOptions, 1, AvailableMemory().value_or(0)),
        WorkerEngineMemory(FOptions));
    for (const int fd : {FWorker->Link().Fd(), FWorker->EndFd(), FWorker->Output().Fd()}) {
        Watch(FEpoll.Get(), fd);
    }
    FOpened = false;
    FBufferSent = false;
    try {
        FWorker->Link().Send(FrameType::Open, 0, EncodeOpen({FFileName, FPassword, {}}),
                             FFile.Get());
    } catch (const Error&) {
        // It has gone already: its end comes through the epoll.
    }
}

void TThumbnailWorker::Want(std::vector<int> pages) {
    FWanted.assign(pages.begin(), pages.end());
    Next();
}

void TThumbnailWorker::Next() {
    if (!FWorker || !FOpened || FPage > 0) {
        return;
    }
    while (!FWanted.empty()) {
        const int page = FWanted.front();
        FWanted.pop_front();
        if (page < 1 || page > FPageCount) {
            continue;
        }
        FPage = page;
        // The clock wakes the owner when the page is late.
        const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(FOptions.PageTimeoutSeconds));
        FDeadline = std::chrono::steady_clock::now() + limit;
        itimerspec once{};
        once.it_value.tv_sec = static_cast<time_t>(limit.count() / 1000000000);
        once.it_value.tv_nsec = static_cast<long>(limit.count() % 1000000000) + 1;
        timerfd_settime(FClock.Get(), 0, &once, nullptr);
        try {
            FWorker->Link().Send(FrameType::Page, page, EncodeCount(page));
        } catch (const Error&) {
            // Its end names the page.
        }
        return;
    }
}

void TThumbnailWorker::Fail(const std::string& message) {
    Thumbnail failed;
    failed.Page = FPage;
    failed.Failure = message;
    FDone.push_back(std::move(failed));
    FPage = 0;
}

void TThumbnailWorker::Handle(Frame& frame) {
    switch (frame.Type) {
    case FrameType::Opened:
        FPageCount = DecodeCount(frame.Payload);
        FOpened = true;
        break;
    case FrameType::PageSize: {
        const PageSizePoints points = DecodePageSize(frame.Payload);
        // The worker's word only: a size that is no positive number is no page to draw.
        if (!(std::isfinite(points.Width) && std::isfinite(points.Height) && points.Width > 0 &&
              points.Height > 0)) {
            Fail("The page has no size to draw");
            break;
        }
        PageSizing sizing;
        sizing.ScaleTo = FFit;
        const PixelDimensions pixels = FittedPixelSize(points.Width, points.Height, sizing);
        if (pixels.Width < 1 || pixels.Height < 1 || pixels.Width > FFit || pixels.Height > FFit) {
            // The worker waits for a Draw it will not get: another Page is what it may take.
            Fail("The page has no size to draw");
            break;
        }
        FSize = {static_cast<std::int32_t>(pixels.Width), static_cast<std::int32_t>(pixels.Height)};
        try {
            FWorker->Link().Send(FrameType::Draw, FPage, EncodeDraw(FSize),
                                 FBufferSent ? -1 : FBuffer->Fd());
            FBufferSent = true;
        } catch (const Error&) {
            // Its end names the page.
        }
        break;
    }
    case FrameType::Drawn: {
        const DrawnPage drawn = DecodeDrawn(frame.Payload);
        if (drawn.Size.Width != FSize.Width || drawn.Size.Height != FSize.Height) {
            throw EProtocolError("pixels of another size than asked for");
        }
        Thumbnail done;
        done.Page = FPage;
        done.Size = FSize;
        const std::size_t bytes =
            static_cast<std::size_t>(FSize.Width) * static_cast<std::size_t>(FSize.Height) * 4;
        done.Pixels.assign(FBuffer->Pixels(), FBuffer->Pixels() + bytes);
        FDone.push_back(std::move(done));
        FPage = 0;
        break;
    }
    case FrameType::Failed: {
        const Failure failure = DecodeFailure(frame.Payload);
        if (!FOpened) {
            FBroken = failure.Message;
            Reap({});
        } else {
            Fail(failure.Message);
        }
        break;
    }
    default:
        throw EProtocolError("a frame a worker does not send");
    }
}

void TThumbnailWorker::Reap(const std::string& violation, bool late) {
    if (!FWorker) {
        return;
    }
    for (const int fd : {FWorker->Link().Fd(), FWorker->EndFd(), FWorker->Output().Fd()}) {
        if (fd >= 0) {
            epoll_ctl(FEpoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
        }
    }
    const std::string how = FWorker->End();
    FWorker.reset();
    if (FBroken) {
        return;
    }
    if (!FOpened) {
        FBroken = violation.empty()
                      ? "The PDF engine stopped while opening the document (" + how + ")"
                      : "The PDF engine broke the page workers' protocol while opening the "
                        "document: " +
                            violation;
        return;
    }
    if (FPage > 0) {
        const std::string page = std::to_string(FPage);
        Fail(late                ? PageLateText(page, FOptions.PageTimeoutSeconds)
             : violation.empty() ? WorkerStoppedText(page, how)
                                 : WorkerProtocolText(page, violation));
    }
    if (++FRestarts > kRestarts) {
        FBroken = "The PDF engine stopped too often";
    }
}

std::vector<Thumbnail> TThumbnailWorker::Process() {
    epoll_event events[8];
    const int ready = epoll_wait(FEpoll.Get(), events, 8, 0);
    for (int e = 0; e < ready; ++e) {
        const int fd = events[e].data.fd;
        if (fd == FClock.Get()) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t got = read(fd, &expirations, sizeof expirations);
            continue;
        }
        if (!FWorker) {
            continue; // the rest were the ended worker's
        }
        if (fd == FWorker->Output().Fd()) {
            FWorker->Output().Read();
            continue;
        }
        try {
            while (FWorker) {
                std::optional<Frame> frame = FWorker->Link().ReadFrame();
                if (!frame) {
                    break;
                }
                Handle(*frame);
            }
            if (FWorker && (FWorker->Link().Ended() || fd == FWorker->EndFd())) {
                Reap({});
            }
        } catch (const EProtocolError& error) {
            Reap(error.what());
        }
    }
    if (FWorker && FPage > 0 && std::chrono::steady_clock::now() > FDeadline) {
        Reap({}, /*late=*/true);
    }
    if (!FWorker && !FBroken && (FPage > 0 || !FWanted.empty())) {
        Start();
    }
    Next();
    return std::exchange(FDone, {});
}

} // namespace folioxa
