#include "pool/RenderPool.h"

#include "base/Error.h"
#include "conversion/AvailableMemory.h"
#include "conversion/ImageFormats.h"
#include "conversion/Messages.h"
#include "imaging/ByteSink.h"
#include "imaging/JpegWriter.h"
#include "imaging/OutputFile.h"
#include "imaging/PageBitmap.h"
#include "pool/MemoryLimit.h"
#include "pool/PageBuffer.h"
#include "pool/PageWorker.h"

#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace folioxa {

namespace {

using Clock = std::chrono::steady_clock;

// Epoll tags: what woke us, and which worker.
constexpr std::uint64_t kClockTag = ~std::uint64_t{0};
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0} - 1;
constexpr std::uint64_t kEndTag = std::uint64_t{1} << 62;
constexpr std::uint64_t kOutputTag = std::uint64_t{1} << 61;

// The least default share of memory a worker gets: the engine and a page of a usual size fit.
constexpr std::uint64_t kLeastMemoryShare = std::uint64_t{256} << 20;
// An encoder hands its bytes over in pieces of this size, and waits while the caller has not
// taken this much of the front entry's bytes.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
constexpr std::size_t kFrontBytes = 4 * kPieceBytes;

std::string SystemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string Seconds(double seconds) {
    std::string text = std::to_string(seconds);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Thrown through a writer when its bytes are no longer wanted (the entry was passed over, or the
// pool is ending): the encoding stops at its next write.
struct TNotWanted {};

// An entry's bytes, handed to the pool in pieces.
class DeliverySink : public ByteSink {
public:
    explicit DeliverySink(std::function<bool(std::string&)> deliver)
        : FDeliver(std::move(deliver)) {}

    void Write(const void* data, std::size_t size) override {
        const auto* bytes = static_cast<const char*>(data);
        while (size > 0) {
            const std::size_t piece = std::min(size, kPieceBytes - FPiece.size());
            FPiece.append(bytes, piece);
            bytes += piece;
            size -= piece;
            if (FPiece.size() == kPieceBytes) {
                Flush();
            }
        }
    }
    void Flush() {
        if (!FPiece.empty() && !FDeliver(FPiece)) {
            throw TNotWanted();
        }
        FPiece.clear();
    }

private:
    std::function<bool(std::string&)> FDeliver;
    std::string FPiece;
};

// Whether the worker's process has ended (an event about its end may be about the worker its
// slot had before).
bool HasEnded(const TPageWorker& worker) {
    pollfd end{worker.EndFd(), POLLIN, 0};
    return poll(&end, 1, 0) > 0;
}

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(eventFd, &one, sizeof one);
}

} // namespace

Failure FailureOf(const std::exception& error, FailureStage stage) {
    return {KindOf(error), stage, error.what()};
}

void ThrowFailure(const Failure& failure) {
    const std::string& m = failure.Message;
    // The classes the trusted side catches by name; every other kind travels as a plain Error
    // of its kind.
    switch (failure.Kind) {
    case ErrorKind::OutOfMemory:
        throw EOutOfMemory(m);
    case ErrorKind::CreateFile:
        throw EFCreateError(m);
    case ErrorKind::Write:
        throw EWriteError(m);
    case ErrorKind::Jpeg:
        throw EJPEG(m);
    case ErrorKind::Convert:
        throw EConvertError(m);
    case ErrorKind::List:
        throw EListError(m);
    case ErrorKind::PageSize:
        throw EPageSizeError(m);
    case ErrorKind::Open:
        throw EOpenError(m);
    default:
        throw Error(failure.Kind, m);
    }
}

DocumentJob DocumentJobOf(const ConversionSettings& settings) {
    DocumentJob job;
    job.FileName = settings.InputFileName;
    job.Password = settings.InputPassword;
    job.ImageType = settings.ImageType;
    job.Sizing = SizingOf(settings);
    job.Drawing = settings.Drawing;
    job.Writer = WriterOptionsOf(settings);
    return job;
}

std::string DefaultWorkerPath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = error ? std::filesystem::path(".") : self.parent_path();
    return (folder / ".." / "lib" / "folioxa" / "folioxa-worker").lexically_normal().string();
}

int OnlineCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? static_cast<int>(cores) : 1;
}

std::uint64_t WorkerMemoryLimit(const PoolOptions& options, std::int64_t workers,
                                std::uint64_t available) {
    if (!MemoryLimitSupported() || workers <= 0) {
        return 0;
    }
    if (options.MemoryLimit > 0) {
        return options.MemoryLimit;
    }
    return available > 0
               ? std::max(available / static_cast<std::uint64_t>(workers), kLeastMemoryShare)
               : 0;
}

std::uint64_t WorkerEngineMemory(const PoolOptions& options) {
    return options.MemoryLimit > 0 ? 0 : kDefaultEngineMemory;
}

TRenderPool::TRenderPool(PoolOptions options, std::vector<PoolDocument> documents,
                         std::function<PoolEntry(std::int64_t)> entryAt, AdoptedWorker adopted,
                         DrawWatch watch)
    : FOptions(std::move(options)), FDocuments(std::move(documents)), FEntryAt(std::move(entryAt)),
      FWatch(std::move(watch)), FBufferLimit(std::uint64_t{64} << 20) {
    for (const PoolDocument& document : FDocuments) {
        FCount += std::max<std::int64_t>(document.Entries, 0);
        FEnds.push_back(FCount);
    }
    FFailedAt = FEnds;
    if (FOptions.WorkerPath.empty()) {
        FOptions.WorkerPath = DefaultWorkerPath();
    }
    FEpoll.Reset(epoll_create1(EPOLL_CLOEXEC));
    FClock.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    FWake.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!FEpoll || !FClock || !FWake) {
        throw Error(SystemText("Cannot start the page workers"));
    }
    for (const auto& [fd, tag] : {std::pair{FClock.Get(), kClockTag}, {FWake.Get(), kWakeTag}}) {
        epoll_event event{EPOLLIN, {.u64 = tag}};
        epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, fd, &event);
    }
    FMemory = AvailableMemory().value_or(0);
    if (access(FOptions.WorkerPath.c_str(), X_OK) != 0) {
        throw Error(SystemText("Cannot start the page workers: " + FOptions.WorkerPath));
    }
    const std::int64_t workers = std::min<std::int64_t>(std::max(FOptions.Workers, 1), FCount);
    FMemoryLimit = WorkerMemoryLimit(FOptions, workers, FMemory);
    // Every slot exists before any encoder starts: the encoders find their slot by its place.
    FSlots.resize(static_cast<std::size_t>(std::max<std::int64_t>(workers, 0)));
    try {
        for (std::size_t i = 0; i < FSlots.size(); ++i) {
            FSlots[i].Encoder = std::thread([this, i] { Encode(i); });
        }
        for (std::size_t i = 0; i < FSlots.size(); ++i) {
            if (i == 0 && Adopt(adopted)) {
                continue;
            }
            Spawn(i);
        }
        Dispatch();
    } catch (...) {
        Shut();
        throw;
    }
}

TRenderPool::~TRenderPool() {
    Shut();
}

void TRenderPool::Shut() {
    FClosing = true;
    for (Slot& slot : FSlots) {
        slot.Worker.reset();
    }
    {
        const std::lock_guard lock(FMutex);
        FStopping = true;
    }
    FChanged.notify_all();
    for (Slot& slot : FSlots) {
        if (slot.Encoder.joinable()) {
            slot.Encoder.join();
        }
    }
}

bool TRenderPool::Adopt(AdoptedWorker& adopted) {
    if (!adopted.Worker || FSlots.empty() || adopted.Document < 0 ||
        adopted.Document >= static_cast<std::int64_t>(FDocuments.size())) {
        return false;
    }
    // Its cap came from the memory free when it started, a moment before the pool's reading:
    // near enough is the same cap, while one made for another number of workers is not.
    const std::uint64_t cap = adopted.Worker->MemoryLimit();
    const std::uint64_t apart = cap > FMemoryLimit ? cap - FMemoryLimit : FMemoryLimit - cap;
    if (apart > std::max(cap, FMemoryLimit) / 8) {
        return false;
    }
    Watch(0, std::move(adopted.Worker));
    FSlots[0].Document = adopted.Document;
    return true;
}

void TRenderPool::Spawn(std::size_t index) {
    Watch(index, std::make_unique<TPageWorker>(FOptions.WorkerPath, FMemoryLimit,
                                               WorkerEngineMemory(FOptions)));
}

void TRenderPool::Watch(std::size_t index, std::unique_ptr<TPageWorker> worker) {
    Slot& slot = FSlots[index];
    slot.Worker = std::move(worker);
    slot.Document = -1;
    slot.BufferSent = false;
    epoll_event readable{EPOLLIN, {.u64 = index}};
    epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, slot.Worker->Link().Fd(), &readable);
    if (slot.Worker->EndFd() >= 0) {
        epoll_event ended{EPOLLIN, {.u64 = kEndTag | index}};
        epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, slot.Worker->EndFd(), &ended);
    }
    epoll_event output{EPOLLIN, {.u64 = kOutputTag | index}};
    epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, slot.Worker->Output().Fd(), &output);
}

std::int64_t TRenderPool::DocumentOf(std::int64_t index) const {
    return std::upper_bound(FEnds.begin(), FEnds.end(), index) - FEnds.begin();
}

bool TRenderPool::Ended(std::int64_t index) const {
    return index > FFailedAt[static_cast<std::size_t>(DocumentOf(index))];
}

std::string TRenderPool::EntryText(std::int64_t index) const {
    return FEntryAt(index).Text;
}

void TRenderPool::Ask(std::size_t index, FrameType type, std::int64_t entry,
                      const std::string& payload, int file) {
    try {
        FSlots[index].Worker->Link().Send(type, entry, payload, file);
    } catch (const Error&) {
        // It has gone: its end, read from its socket or its pid, names the entry.
    }
}

void TRenderPool::Dispatch() {
    const std::int64_t ahead =
        4 * static_cast<std::int64_t>(std::max<std::size_t>(FSlots.size(), 1));
    while (FNext < FCount && FNext - FFront < ahead) {
        if (Ended(FNext)) {
            FNext = FEnds[static_cast<std::size_t>(DocumentOf(FNext))];
            continue;
        }
        const auto idle = std::find_if(FSlots.begin(), FSlots.end(),
                                       [](const Slot& slot) { return slot.Entry < 0; });
        if (idle == FSlots.end()) {
            break;
        }
        const auto i = static_cast<std::size_t>(idle - FSlots.begin());
        const std::int64_t index = FNext++;
        FEntries[index].Front.Index = index;
        const PoolEntry entry = FEntryAt(index);
        int page = 0;
        try {
            // The entry's text is read here, as the serial run reads it before the page.
            page = ParsePageNumber(entry.Text);
        } catch (const std::exception& e) {
            Fail(index, FailureOf(e, FailureStage::BeforeFile));
            continue;
        }
        Slot& slot = FSlots[i];
        if (!slot.Worker) {
            // Its engine crashed, ran out of time or broke the protocol on an earlier page.
            Spawn(i);
        }
        slot.Entry = index;
        slot.Page = page;
        if (FWatch) {
            FWatch(index, false);
        }
        if (FOptions.PageTimeoutSeconds > 0) {
            slot.Deadline =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(FOptions.PageTimeoutSeconds));
        }
        if (slot.Document != entry.Document) {
            PoolDocument& document = FDocuments.at(static_cast<std::size_t>(entry.Document));
            try {
                if (!document.File && document.OpenFile) {
                    document.File = document.OpenFile();
                }
            } catch (const std::exception& e) {
                Fail(index, FailureOf(e, FailureStage::BeforeFile));
                slot.Entry = -1;
                continue;
            }
            Ask(i, FrameType::Open, entry.Document,
                EncodeOpen({document.Job.FileName, document.Job.Password, document.Job.Drawing}),
                document.File ? document.File->Get() : -1);
        } else {
            Ask(i, FrameType::Page, index, EncodeCount(page));
        }
    }
    // Every entry of the documents before the next one has been handed out (a worker that
    // needs one of them again got its own copy with Open): their files go.
    for (std::size_t d = 0; d < FDocuments.size() && FEnds[d] <= FNext; ++d) {
        if (FDocuments[d].OpenFile) {
            FDocuments[d].File.reset();
        }
    }
    ArmClock();
}

void TRenderPool::Process() {
    epoll_event events[16];
    const int ready = epoll_wait(FEpoll.Get(), events, 16, 0);
    for (int e = 0; e < ready; ++e) {
        const std::uint64_t tag = events[e].data.u64;
        if (tag == kClockTag) {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t got =
                read(FClock.Get(), &expirations, sizeof expirations);
            CheckClock();
        } else if (tag == kWakeTag) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t got = read(FWake.Get(), &wakes, sizeof wakes);
            CollectEncoded();
        } else if ((tag & kOutputTag) != 0) {
            // Closed at its end or its bound, which takes it out of the epoll set.
            if (Slot& slot = FSlots[tag & ~kOutputTag]; slot.Worker) {
                slot.Worker->Output().Read();
            }
        } else if ((tag & kEndTag) != 0) {
            const std::size_t slot = tag & ~kEndTag;
            // Whatever it sent before it ended counts.
            if (FSlots[slot].Worker && HasEnded(*FSlots[slot].Worker)) {
                Read(slot);
            }
            if (FSlots[slot].Worker) {
                Reap(slot);
            }
        } else if (FSlots[tag].Worker) {
            Read(tag);
        }
    }
    Dispatch();
}

void TRenderPool::Read(std::size_t index) {
    Slot& slot = FSlots[index];
    try {
        while (slot.Worker) {
            std::optional<Frame> frame = slot.Worker->Link().ReadFrame();
            if (!frame) {
                break;
            }
            Handle(index, *frame);
        }
    } catch (const EProtocolError& e) {
        Reap(index, e.what());
        return;
    }
    if (slot.Worker && slot.Worker->Link().Ended()) {
        Reap(index);
    }
}

void TRenderPool::Handle(std::size_t index, Frame& frame) {
    Slot& slot = FSlots[index];
    // Null for an entry dropped with its document: the worker finishes it for nothing.
    const auto found = FEntries.find(slot.Entry);
    const bool wanted = found != FEntries.end() && !found->second.Front.Failed;
    switch (frame.Type) {
    case FrameType::Opened:
        (void)DecodeCount(frame.Payload);
        slot.Document = frame.Index;
        if (wanted) {
            Ask(index, FrameType::Page, slot.Entry, EncodeCount(slot.Page));
        } else {
            EntryFinished(index);
        }
        break;
    case FrameType::PageSize: {
        const PageSizePoints points = DecodePageSize(frame.Payload);
        if (wanted) {
            Sized(index, points);
        } else {
            EntryFinished(index);
        }
        break;
    }
    case FrameType::Drawn: {
        const DrawnPage drawn = DecodeDrawn(frame.Payload);
        if (drawn.Size.Width != slot.Size.Width || drawn.Size.Height != slot.Size.Height) {
            throw EProtocolError("pixels of " + std::to_string(drawn.Size.Width) + " x " +
                                 std::to_string(drawn.Size.Height) + " where " +
                                 std::to_string(slot.Size.Width) + " x " +
                                 std::to_string(slot.Size.Height) + " were granted");
        }
        const std::int64_t entry = slot.Entry;
        if (wanted) {
            // The buffer now holds the entry's pixels: its encoder takes them from here.
            {
                const std::lock_guard lock(FMutex);
                FOutputs[entry] = Output{};
                slot.Job = EncodeJob{entry, DocumentOf(entry), slot.Size,
                                     static_cast<double>(drawn.Microseconds) / 1000.0};
                slot.Encoded = false;
            }
            slot.Encoding = entry;
            slot.EncodingReserved = std::exchange(slot.Reserved, 0);
            FChanged.notify_all();
            if (FWatch) {
                FWatch(entry, true);
            }
        }
        EntryFinished(index);
        break;
    }
    case FrameType::Failed: {
        Failure failure = DecodeFailure(frame.Payload);
        if (frame.Stage == WireStage::Opening) {
            slot.Document = -1;
        }
        // The worker's own report of a death over its cap names neither the page nor the cap.
        if (failure.Kind == ErrorKind::OutOfMemory && slot.Worker->MemoryLimit() > 0) {
            failure.Message =
                MemoryLimitMessage(EntryText(slot.Entry), PageLimit(slot, frame.Stage));
        }
        if (wanted) {
            Fail(slot.Entry, std::move(failure));
        }
        EntryFinished(index);
        break;
    }
    default:
        throw EProtocolError("a frame the parent does not take");
    }
}

void TRenderPool::Sized(std::size_t index, PageSizePoints points) {
    Slot& slot = FSlots[index];
    const std::int64_t entry = slot.Entry;
    const PageSizing& sizing = FDocuments[static_cast<std::size_t>(DocumentOf(entry))].Job.Sizing;
    try {
        // Sized here, from the page's points, exactly as the serial run sizes it: the worker
        // draws what it is told, never a size of its own choosing.
        const PixelDimensions pixels = FittedPixelSize(points.Width, points.Height, sizing);
        const std::optional<std::uint64_t> available =
            FMemory > 0 ? std::optional<std::uint64_t>(FMemory) : std::nullopt;
        CheckPixelSize(EntryText(entry), sizing, pixels.Width, pixels.Height, available);
        slot.Size = {static_cast<std::int32_t>(pixels.Width),
                     static_cast<std::int32_t>(pixels.Height)};
    } catch (const std::exception& e) {
        Fail(entry, FailureOf(e, FailureStage::BeforeFile));
        EntryFinished(index);
        return;
    }
    const std::uint64_t bytes = PageMemoryBytes(slot.Size.Width, slot.Size.Height);
    {
        const std::lock_guard lock(FMutex);
        FBufferLimit = std::max(FBufferLimit, FSlots.size() * bytes / 2);
    }
    Grant();
}

void TRenderPool::Fail(std::int64_t index, Failure failure) {
    const auto found = FEntries.find(index);
    if (found == FEntries.end() || found->second.Front.Failed || found->second.Front.Complete) {
        return;
    }
    FrontEntry& entry = found->second.Front;
    entry.Data.clear();
    entry.Failed = std::move(failure);
    // Nothing of its document after a failing entry is ever written: hand out no more of it.
    std::int64_t& failedAt = FFailedAt[static_cast<std::size_t>(DocumentOf(index))];
    failedAt = std::min(failedAt, index);
}

void TRenderPool::EntryFinished(std::size_t index) {
    Slot& slot = FSlots[index];
    FReserved -= std::min(FReserved, slot.Reserved);
    slot.Reserved = 0;
    slot.Size = {};
    slot.Entry = -1;
    Grant();
}

void TRenderPool::Grant() {
    // In list order, so that the next entry in order is never kept waiting behind later ones.
    std::vector<std::size_t> sized;
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        const Slot& slot = FSlots[i];
        if (slot.Worker && slot.Entry >= 0 && slot.Reserved == 0 && slot.Size.Width > 0 &&
            slot.Worker->Link().Stage() == WireStage::Sized) {
            sized.push_back(i);
        }
    }
    std::sort(sized.begin(), sized.end(),
              [this](std::size_t a, std::size_t b) { return FSlots[a].Entry < FSlots[b].Entry; });
    for (const std::size_t i : sized) {
        Slot& slot = FSlots[i];
        if (slot.Encoding >= 0) {
            continue; // its buffer still holds the last page
        }
        const std::uint64_t bytes = PageMemoryBytes(slot.Size.Width, slot.Size.Height);
        // The next entry in order may always be drawn, so the run never stands still.
        const bool fits = FMemory == 0 || FReserved == 0 || FReserved + bytes <= FMemory;
        if (!fits && slot.Entry != FFront) {
            continue;
        }
        const std::size_t pixels = static_cast<std::size_t>(slot.Size.Width) *
                                   static_cast<std::size_t>(slot.Size.Height) * 4;
        try {
            // Kept from page to page; a much larger one is not kept for small pages.
            if (!slot.Buffer || slot.Buffer->Size() < pixels || slot.Buffer->Size() / 4 > pixels) {
                slot.Buffer.reset();
                slot.Buffer = std::make_unique<TPageBuffer>(pixels);
                slot.BufferSent = false;
            }
        } catch (const std::exception& e) {
            Fail(slot.Entry, FailureOf(e, FailureStage::BeforeFile));
            EntryFinished(i);
            continue;
        }
        slot.Reserved = bytes;
        FReserved += bytes;
        Ask(i, FrameType::Draw, slot.Entry, EncodeDraw(slot.Size),
            slot.BufferSent ? -1 : slot.Buffer->Fd());
        slot.BufferSent = true;
    }
}

void TRenderPool::Encode(std::size_t index) {
    std::unique_ptr<ImageWriter> writer;
    std::int64_t writerDocument = -1;
    for (;;) {
        EncodeJob job;
        const TPageBuffer* buffer = nullptr;
        {
            std::unique_lock lock(FMutex);
            FChanged.wait(
                lock, [&] { return FStopping || (FSlots[index].Job && !FSlots[index].Encoded); });
            if (FStopping) {
                return;
            }
            job = *FSlots[index].Job;
            buffer = FSlots[index].Buffer.get();
        }
        const Clock::time_point start = Clock::now();
        std::optional<Failure> failure;
        FailureStage stage = FailureStage::BeforeFile;
        try {
            const DocumentJob& document = FDocuments[static_cast<std::size_t>(job.Document)].Job;
            if (writerDocument != job.Document) {
                writer.reset();
                writer =
                    CreateWriter(StandardImageFormats().Find(document.ImageType), document.Writer);
                writerDocument = job.Document;
            }
            // Read only: the buffer is mapped so, and the writers only read a page.
            const PageBitmap bitmap = PageBitmap::View(const_cast<std::uint8_t*>(buffer->Pixels()),
                                                       job.Size.Width, job.Size.Height);
            CheckPage(writer.get(), bitmap);
            stage = FailureStage::AfterFile;
            DeliverySink sink(
                [this, &job](std::string& bytes) { return Deliver(job.Entry, bytes); });
            EncodePage(writer.get(), bitmap, sink);
            sink.Flush();
        } catch (const TNotWanted&) {
        } catch (const std::exception& e) {
            failure = FailureOf(e, stage);
        }
        {
            const std::lock_guard lock(FMutex);
            const auto found = FOutputs.find(job.Entry);
            if (found != FOutputs.end()) {
                Output& output = found->second;
                if (failure) {
                    if (job.Entry != FSharedFront) {
                        FBuffered -= std::min<std::uint64_t>(FBuffered, output.Data.size());
                    }
                    output.Data.clear();
                    output.Failed = std::move(failure);
                } else {
                    output.Complete = true;
                    output.Milliseconds = job.Milliseconds + MillisecondsSince(start);
                }
            }
            FSlots[index].Encoded = true;
        }
        Signal(FWake.Get());
    }
}

bool TRenderPool::Deliver(std::int64_t entry, std::string& bytes) {
    {
        std::unique_lock lock(FMutex);
        for (;;) {
            const auto found = FOutputs.find(entry);
            if (FStopping || found == FOutputs.end() || found->second.Dropped) {
                return false;
            }
            const bool front = entry == FSharedFront;
            if (front ? found->second.Data.size() < kFrontBytes : FBuffered < FBufferLimit) {
                found->second.Data += bytes;
                if (!front) {
                    FBuffered += bytes.size();
                }
                break;
            }
            FChanged.wait(lock);
        }
    }
    Signal(FWake.Get());
    return true;
}

void TRenderPool::CollectEncoded() {
    std::vector<std::int64_t> failed;
    {
        const std::lock_guard lock(FMutex);
        for (Slot& slot : FSlots) {
            if (!slot.Job || !slot.Encoded) {
                continue;
            }
            const std::int64_t entry = slot.Job->Entry;
            slot.Job.reset();
            slot.Encoded = false;
            slot.Encoding = -1;
            FReserved -= std::min(FReserved, slot.EncodingReserved);
            slot.EncodingReserved = 0;
            const auto found = FOutputs.find(entry);
            if (found != FOutputs.end() && found->second.Dropped) {
                FOutputs.erase(found);
            } else if (found != FOutputs.end() && found->second.Failed) {
                failed.push_back(entry);
            }
        }
    }
    // Nothing of a document after its failing entry is handed out.
    for (const std::int64_t entry : failed) {
        std::int64_t& failedAt = FFailedAt[static_cast<std::size_t>(DocumentOf(entry))];
        failedAt = std::min(failedAt, entry);
    }
    Grant();
}

void TRenderPool::Reap(std::size_t index, const std::string& violation) {
    Slot& slot = FSlots[index];
    if (!slot.Worker) {
        return;
    }
    for (const int fd :
         {slot.Worker->Link().Fd(), slot.Worker->EndFd(), slot.Worker->Output().Fd()}) {
        if (fd >= 0) {
            epoll_ctl(FEpoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
        }
    }
    const WireStage stage = slot.Worker->Link().Stage();
    const std::string how = slot.Worker->End();
    const bool outOfMemory = slot.Worker->EndedOutOfMemory();
    const std::uint64_t limit = PageLimit(slot, stage);
    slot.Worker.reset();
    slot.Document = -1;
    slot.BufferSent = false;
    if (slot.Entry >= 0) {
        const std::string page = EntryText(slot.Entry);
        Fail(slot.Entry,
             outOfMemory && violation.empty()
                 ? Failure{ErrorKind::OutOfMemory, FailureStage::BeforeFile,
                           MemoryLimitMessage(page, limit)}
             : violation.empty()
                 ? Failure{ErrorKind::Other, FailureStage::BeforeFile, WorkerStoppedText(page, how)}
                 : Failure{ErrorKind::Protocol, FailureStage::BeforeFile,
                           WorkerProtocolText(page, violation)});
        EntryFinished(index);
    }
    // Ended while idle (killed from outside): nothing failed, and Dispatch gives its slot a new
    // worker when there is more to draw.
}

std::string WorkerStoppedText(const std::string& page, const std::string& how) {
    return "The PDF engine stopped while drawing page " + page + " (" + how + ")";
}

std::string WorkerProtocolText(const std::string& page, const std::string& violation) {
    return "The PDF engine broke the page workers' protocol while drawing page " + page + ": " +
           violation;
}

std::string PageLateText(const std::string& page, double seconds) {
    return "Page " + page + " took longer than the limit of " + Seconds(seconds) + " seconds";
}

std::uint64_t TRenderPool::PageLimit(const Slot& slot, WireStage stage) const {
    const std::uint64_t buffer = slot.BufferSent ? slot.Buffer->Size() : 0;
    const std::uint64_t page = stage == WireStage::Drawing
                                   ? static_cast<std::uint64_t>(slot.Size.Width) *
                                         static_cast<std::uint64_t>(slot.Size.Height) * 4
                                   : 0;
    return PageMemoryLimit(slot.Worker->MemoryLimit(), slot.Worker->EngineMemory(), buffer, page);
}

void TRenderPool::CheckClock() {
    if (FOptions.PageTimeoutSeconds <= 0) {
        return;
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        Slot& slot = FSlots[i];
        if (slot.Worker && slot.Entry >= 0 && slot.Deadline <= now) {
            Fail(slot.Entry, {ErrorKind::Other, FailureStage::BeforeFile,
                              PageLateText(EntryText(slot.Entry), FOptions.PageTimeoutSeconds)});
            Reap(i);
        }
    }
    ArmClock();
}

void TRenderPool::ArmClock() {
    if (FOptions.PageTimeoutSeconds <= 0) {
        return;
    }
    std::optional<Clock::time_point> first;
    for (const Slot& slot : FSlots) {
        if (slot.Worker && slot.Entry >= 0 && (!first || slot.Deadline < *first)) {
            first = slot.Deadline;
        }
    }
    itimerspec when{};
    if (first) {
        const auto left =
            std::max(*first - Clock::now(), Clock::duration(std::chrono::microseconds(1)));
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    timerfd_settime(FClock.Get(), 0, &when, nullptr);
}

FrontEntry* TRenderPool::Front() {
    const auto found = FEntries.find(FFront);
    if (found == FEntries.end()) {
        return nullptr;
    }
    FrontEntry& entry = found->second.Front;
    if (!entry.Failed && !entry.Complete) {
        bool taken = false;
        {
            const std::lock_guard lock(FMutex);
            const auto output = FOutputs.find(FFront);
            if (output != FOutputs.end()) {
                Output& out = output->second;
                if (out.Failed) {
                    entry.Data.clear();
                    entry.Failed = out.Failed;
                } else {
                    if (entry.Data.empty() && !out.Data.empty()) {
                        entry.Data.swap(out.Data);
                        taken = true;
                    }
                    if (out.Complete && out.Data.empty()) {
                        entry.Complete = true;
                        entry.Milliseconds = out.Milliseconds;
                    }
                }
            }
        }
        if (taken) {
            FChanged.notify_all(); // its encoder may be waiting for room
        }
    }
    return entry.Complete || entry.Failed || !entry.Data.empty() ? &entry : nullptr;
}

void TRenderPool::Advance() {
    MoveFront(FFront + 1);
}

void TRenderPool::AdvanceDocument() {
    if (FFront >= FCount) {
        return;
    }
    const auto document = static_cast<std::size_t>(DocumentOf(FFront));
    FFailedAt[document] = std::min(FFailedAt[document], FFront);
    MoveFront(FEnds[document]);
}

void TRenderPool::MoveFront(std::int64_t to) {
    // The entries passed over; those still being drawn or encoded are dropped as they go on.
    for (auto it = FEntries.lower_bound(FFront); it != FEntries.end() && it->first < to;) {
        it = FEntries.erase(it);
    }
    {
        const std::lock_guard lock(FMutex);
        for (auto it = FOutputs.lower_bound(FFront); it != FOutputs.end() && it->first < to;) {
            if (it->first != FFront) {
                FBuffered -= std::min<std::uint64_t>(FBuffered, it->second.Data.size());
            }
            const bool encoding = std::any_of(FSlots.begin(), FSlots.end(), [&](const Slot& s) {
                return s.Job && s.Job->Entry == it->first && !s.Encoded;
            });
            if (encoding) {
                it->second.Dropped = true;
                it->second.Data.clear();
                ++it;
            } else {
                it = FOutputs.erase(it);
            }
        }
        FSharedFront = to;
        // Its bytes are now taken as they come: no longer held against the bound.
        const auto next = FOutputs.find(to);
        if (next != FOutputs.end()) {
            FBuffered -= std::min<std::uint64_t>(FBuffered, next->second.Data.size());
        }
    }
    FChanged.notify_all();
    FFront = to;
    FNext = std::max(FNext, FFront);
    Grant();
    Dispatch();
}

} // namespace folioxa
