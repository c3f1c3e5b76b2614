#pragma once

#include "base/FileDescriptor.h"
#include "pool/RenderPool.h"
#include "pool/Wire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace folioxa {

class TPageBuffer;
class TPageWorker;

// A page drawn small: its pixels as the engine left them (4 bytes a pixel, blue first, rows
// without padding), or why it could not be drawn.
struct Thumbnail {
    int Page = 0;
    PagePixels Size;
    std::vector<std::uint8_t> Pixels; // empty when it failed
    std::string Failure;
};

// Small pictures of one document's pages, drawn by one page worker with the same Open, Page and
// Draw as a run's pages, into one page buffer of fit x fit pixels; nothing is encoded. It never
// blocks: its owner watches EventFd and calls Process. Pages are drawn one at a time in the order
// last wanted. A worker that ends or breaks the protocol costs its page, and is replaced up to
// kRestarts times; a page that takes longer than the time limit ends its worker too.
class TThumbnailWorker {
public:
    static constexpr int kRestarts = 3;

    // Opens `fileName` with `password` in a new worker, reading the file this process opens now.
    // Throws Error when the worker cannot be started or the memory for its buffer is refused.
    TThumbnailWorker(const std::string& fileName, const std::string& password, int fit,
                     PoolOptions options = {});
    ~TThumbnailWorker();
    TThumbnailWorker(const TThumbnailWorker&) = delete;
    TThumbnailWorker& operator=(const TThumbnailWorker&) = delete;

    // Readable when Process has something to do.
    int EventFd() const { return FEpoll.Get(); }
    // The pages to draw next, most wanted first, in place of the earlier wish; a page being drawn
    // is finished first. Pages outside the document are passed over.
    void Want(std::vector<int> pages);
    // Reads what the worker sent and starts the next page: the pictures finished since the last
    // call. Ends a worker whose page has taken longer than the limit (PoolOptions'
    // PageTimeoutSeconds, 30 s when not set).
    std::vector<Thumbnail> Process();
    // The page count once opened; -1 before.
    int PageCount() const { return FPageCount; }
    // Why nothing more will come (the document did not open, or the worker ended too often).
    const std::optional<std::string>& Broken() const { return FBroken; }
    // Whether pages wanted are still to come.
    bool Drawing() const { return !FBroken && (FPage > 0 || !FWanted.empty()); }

private:
    void Start();
    // Ends the worker; the page being drawn fails for the protocol's `violation`, for being
    // `late`, or else for how the worker ended.
    void Reap(const std::string& violation, bool late = false);
    void Next();
    void Handle(Frame& frame);
    void Fail(const std::string& message);

    std::string FFileName;
    std::string FPassword;
    int FFit;
    PoolOptions FOptions;
    FileDescriptor FFile;
    FileDescriptor FEpoll;
    FileDescriptor FClock; // wakes the owner when a page is late
    std::unique_ptr<TPageBuffer> FBuffer;
    std::unique_ptr<TPageWorker> FWorker;
    bool FOpened = false;     // the worker has the document open
    bool FBufferSent = false; // the worker has the buffer
    int FRestarts = 0;
    int FPageCount = -1;
    int FPage = 0; // being drawn; 0 when idle
    PagePixels FSize;
    std::chrono::steady_clock::time_point FDeadline;
    std::deque<int> FWanted;
    std::vector<Thumbnail> FDone;
    std::optional<std::string> FBroken;
};

} // namespace folioxa
