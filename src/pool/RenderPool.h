#pragma once

#include "base/FileDescriptor.h"
#include "conversion/ConversionJob.h"
#include "conversion/ImageFormats.h"
#include "pool/PageWorker.h"
#include "pool/Wire.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace folioxa {

class TPageBuffer;

// The failure an exception stands for: its kind (KindOf) and its text.
Failure FailureOf(const std::exception& error, FailureStage stage);
// Throws the exception of `failure`'s kind with its message.
[[noreturn]] void ThrowFailure(const Failure& failure);

// Why a page failed in its worker: the worker ended (`how`, as "Segmentation fault"), broke the
// protocol, or took longer than `seconds`.
std::string WorkerStoppedText(const std::string& page, const std::string& how);
std::string WorkerProtocolText(const std::string& page, const std::string& violation);
std::string PageLateText(const std::string& page, double seconds);

// How every page of one document is drawn and encoded.
struct DocumentJob {
    std::string FileName; // names the document in messages; the workers never open it
    std::string Password;
    std::string ImageType;
    PageSizing Sizing; // as the settings give it
    DrawingOptions Drawing;
    WriterOptions Writer;
};

// The job that draws and encodes the pages as `settings` ask.
DocumentJob DocumentJobOf(const ConversionSettings& settings);

// A document whose pages the pool draws: how, the open file the workers read it from, and how
// many entries of the list are its own (they follow those of the documents before it).
struct PoolDocument {
    DocumentJob Job;
    std::shared_ptr<FileDescriptor> File;
    // Opens the file when File is null, as the document's first entry is handed out; the pool
    // lets it go once its last entry has been, so that a run of thousands of documents holds a
    // few files at a time. Throws Error (the document's failure).
    std::function<std::shared_ptr<FileDescriptor>()> OpenFile;
    std::int64_t Entries = 0;
};

// One entry of the list the pool serves, in list order.
struct PoolEntry {
    std::int64_t Document = 0;
    std::string Text;
};

struct PoolOptions {
    int Workers = 1;               // at most this many processes; never fewer than one
    std::string WorkerPath;        // the worker executable; empty: DefaultWorkerPath()
    double PageTimeoutSeconds = 0; // an entry taking longer ends its worker; 0: no limit
    // The address space each worker may take; 0: the memory available at the start shared
    // evenly among the workers, at least 256 MB each (none when the system does not say, or the
    // build cannot cap), of which a page may take what PageMemoryLimit allows with the default
    // engine allowance.
    std::uint64_t MemoryLimit = 0;
};

// The address space each of `workers` workers may take: the option when given, else `available`
// shared evenly among them, at least 256 MB each; 0 where nothing is known or the build cannot
// cap.
std::uint64_t WorkerMemoryLimit(const PoolOptions& options, std::int64_t workers,
                                std::uint64_t available);
// The engine's allowance per page beside its pixels: kDefaultEngineMemory unless the options
// give a cap, which then holds for every page as it is.
std::uint64_t WorkerEngineMemory(const PoolOptions& options);

// A worker that has a document of the run open already (it opened the document for the run),
// for the pool to draw with instead of starting another.
struct AdoptedWorker {
    std::unique_ptr<TPageWorker> Worker;
    std::int64_t Document = -1;
};

// Told when a worker is handed entry `index` to draw (drawn false) and when its pixels have come
// (drawn true); called from the pool's constructor and Process.
using DrawWatch = std::function<void(std::int64_t index, bool drawn)>;

// What the pool knows of the entry next in list order.
struct FrontEntry {
    std::int64_t Index = 0;
    std::string Data;              // bytes of its file that arrived and were not taken yet
    bool Complete = false;         // every byte has arrived
    std::optional<Failure> Failed; // the entry failed (in its worker, or encoding it)
    double Milliseconds = 0;       // the time spent on it, once complete
};

// Where the worker executable lies: in lib/folioxa beside the engine, next to this program's bin
// folder (the build tree has the installed layout).
std::string DefaultWorkerPath();

// The number of processors this process may run on.
int OnlineCores();

// Worker processes that draw the entries of a list into page buffers, ahead of the caller and in
// parallel, and encoder threads of this process that turn each drawn page into its file's bytes
// with the document's writer, while the caller takes each entry's bytes in list order. Each
// worker has its page buffer and its encoder: the worker draws the next page once the encoder is
// done with the last. The list holds the entries of one document after another; a failing entry
// ends its document's entries, not the list. Entries are handed out in list order, one to each
// idle worker, no further ahead of the caller than a few per worker; a page is drawn only when
// the memory free at the start holds it beside those being drawn and encoded (the next entry in
// order always may); bytes encoded ahead of their turn are kept up to a bound, beyond which their
// encoders wait. A worker that ended is replaced when there is more to draw; one that breaks the
// protocol is ended and its entry fails. The pool never blocks: its owner watches EventFd and
// calls Process. No worker outlives the pool, nor its parent process.
class TRenderPool {
public:
    // Starts the workers and their encoders; `adopted` is the first worker when its memory cap is
    // the pool's. Throws Error when the worker executable cannot be started. `entryAt` gives
    // entry `index` of the list (its Document as `documents` say).
    TRenderPool(PoolOptions options, std::vector<PoolDocument> documents,
                std::function<PoolEntry(std::int64_t index)> entryAt, AdoptedWorker adopted = {},
                DrawWatch watch = {});
    // Ends every worker at once and waits for it, and for the encoders.
    ~TRenderPool();
    TRenderPool(const TRenderPool&) = delete;
    TRenderPool& operator=(const TRenderPool&) = delete;

    // Readable whenever Process has something to do.
    int EventFd() const { return FEpoll.Get(); }
    // Handles what the workers sent, their ends, the encoders' progress and the page clock;
    // never blocks.
    void Process();

    // The next entry in list order once something is known of it, else null. Its Data may be
    // taken piece by piece as it arrives.
    FrontEntry* Front();
    // The front entry's file is done with: the next entry becomes the front.
    void Advance();
    // The front entry's document is done with (it failed there): the first entry of the next
    // document becomes the front; its own later entries are never drawn or are dropped.
    void AdvanceDocument();
    // The index of the entry next in list order.
    std::int64_t FrontIndex() const { return FFront; }

    int WorkerCount() const { return static_cast<int>(FSlots.size()); }
    // Each worker's memory cap in bytes; 0 when they have none.
    std::uint64_t MemoryLimit() const { return FMemoryLimit; }

private:
    // What one encoder shares with the pool, under FMutex.
    struct Output {
        std::string Data;
        bool Complete = false;
        std::optional<Failure> Failed;
        double Milliseconds = 0;
        bool Dropped = false; // passed over: its bytes are thrown away as they come
    };
    struct EncodeJob {
        std::int64_t Entry = -1;
        std::int64_t Document = -1;
        PagePixels Size;
        double Milliseconds = 0; // the worker's part
    };
    // A worker, its page buffer and its encoder.
    struct Slot {
        std::unique_ptr<TPageWorker> Worker;
        std::int64_t Document = -1; // open in the worker
        std::int64_t Entry = -1;    // the entry the worker holds, -1 when idle
        int Page = 0;
        PagePixels Size;            // of the entry, once its page is sized
        std::uint64_t Reserved = 0; // memory granted for it
        std::chrono::steady_clock::time_point Deadline;
        std::unique_ptr<TPageBuffer> Buffer;
        bool BufferSent = false;    // the worker has the buffer
        std::int64_t Encoding = -1; // the entry whose pixels the buffer holds, -1 when free
        std::uint64_t EncodingReserved = 0;
        // The encoder; under FMutex.
        std::optional<EncodeJob> Job;
        bool Encoded = false; // the job is done: the buffer may be drawn into again
        std::thread Encoder;
    };
    struct EntryState {
        FrontEntry Front;
    };

    // Ends the workers and the encoders.
    void Shut();
    std::int64_t DocumentOf(std::int64_t index) const;
    // A failed entry ends its document: no later entry of it is handed out.
    bool Ended(std::int64_t index) const;
    // The front moves to entry `to`; the entries before it are done with.
    void MoveFront(std::int64_t to);
    void Spawn(std::size_t slot);
    // Takes `adopted` as the first slot's worker; false when it does not fit the pool.
    bool Adopt(AdoptedWorker& adopted);
    // Gives the slot `worker` and watches its socket and its end.
    void Watch(std::size_t slot, std::unique_ptr<TPageWorker> worker);
    void Dispatch();
    void Ask(std::size_t slot, FrameType type, std::int64_t index, const std::string& payload,
             int file = -1);
    void Handle(std::size_t slot, Frame& frame);
    void Sized(std::size_t slot, PageSizePoints points);
    void Read(std::size_t slot);
    // Ends a worker (killed when it still runs) and waits for it; the entry it held fails, for
    // `reason` or for how it ended.
    void Reap(std::size_t slot, const std::string& reason = {});
    // The memory limit of the slot's page in `stage`, as its worker set it.
    std::uint64_t PageLimit(const Slot& slot, WireStage stage) const;
    void EntryFinished(std::size_t slot);
    void Grant();
    void CollectEncoded();
    void CheckClock();
    void ArmClock();
    void Fail(std::int64_t index, Failure failure);
    void Encode(std::size_t slot);
    // What an encoder thread sends an entry's bytes through; false once they are not wanted.
    bool Deliver(std::int64_t entry, std::string& bytes);
    std::string EntryText(std::int64_t index) const;

    PoolOptions FOptions;
    std::vector<PoolDocument> FDocuments;
    std::vector<std::int64_t> FEnds;     // one past each document's last entry
    std::vector<std::int64_t> FFailedAt; // each document's first failed entry, or its end
    std::int64_t FCount = 0;
    std::function<PoolEntry(std::int64_t)> FEntryAt;
    DrawWatch FWatch;
    FileDescriptor FEpoll;
    FileDescriptor FClock;
    FileDescriptor FWake; // an eventfd the encoders signal
    std::vector<Slot> FSlots;
    std::map<std::int64_t, EntryState> FEntries; // handed out, not yet advanced past
    std::int64_t FFront = 0;
    std::int64_t FNext = 0;
    std::uint64_t FReserved = 0;
    std::uint64_t FMemory = 0; // free at the start; 0 when unknown
    std::uint64_t FMemoryLimit = 0;
    bool FClosing = false; // the pool is ending its workers: none is replaced

    // Shared with the encoders.
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::map<std::int64_t, Output> FOutputs; // entries being encoded or encoded ahead
    std::int64_t FSharedFront = 0;
    std::uint64_t FBuffered = 0; // bytes kept ahead of their turn
    std::uint64_t FBufferLimit;
    bool FStopping = false;
};

} // namespace folioxa
