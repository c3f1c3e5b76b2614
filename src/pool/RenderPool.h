#pragma once

#include "base/FileDescriptor.h"
#include "pool/Wire.h"
#include "pool/WorkerOutput.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace folioxa {

// A document whose pages the pool draws: how, the open file the workers read it from, and how
// many entries of the list are its own (they follow those of the documents before it).
struct PoolDocument {
    DocumentJob Job; // Id is the document's position among the pool's documents
    std::shared_ptr<FileDescriptor> File;
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
    // build cannot cap).
    std::uint64_t MemoryLimit = 0;
};

// What the pool knows of the entry next in list order.
struct FrontEntry {
    std::int64_t Index = 0;
    std::string Data;              // bytes of its file that arrived and were not taken yet
    bool Complete = false;         // every byte has arrived
    std::optional<Failure> Failed; // the entry failed in its worker (or its worker stopped)
    double Milliseconds = 0;       // the worker's time for it, once complete
};

// Where the worker executable lies: in lib/folioxa beside the engine, next to this program's bin
// folder (the build tree has the installed layout).
std::string DefaultWorkerPath();

// The number of processors this process may run on.
int OnlineCores();

// Worker processes that draw and encode the entries of a list, ahead of the caller and in
// parallel, while the caller takes each entry's file in list order. The list holds the entries
// of one document after another; a failing entry ends its document's entries, not the list. Entries
// are handed out in list order, one to each idle worker, no further ahead of the caller than a few
// per worker; an entry is drawn only when the memory free at the start holds it beside those being
// drawn (the next entry in order always may); bytes that arrive ahead of their turn are kept up to
// a bound, beyond which those workers wait. A worker that ended is replaced when there is more to
// draw. The pool never blocks: its owner watches EventFd and calls Process. No worker outlives the
// pool, nor its parent process.
class TRenderPool {
public:
    // Starts the workers. Throws Error when the worker executable cannot be started.
    // `entryAt` gives entry `index` of the list (its Document as `documents` say).
    TRenderPool(PoolOptions options, std::vector<PoolDocument> documents,
                std::function<PoolEntry(std::int64_t index)> entryAt);
    // Ends every worker at once and waits for it.
    ~TRenderPool();
    TRenderPool(const TRenderPool&) = delete;
    TRenderPool& operator=(const TRenderPool&) = delete;

    // Readable whenever Process has something to do.
    int EventFd() const { return FEpoll.Get(); }
    // Handles what the workers sent, their ends and the page clock; never blocks.
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

    int WorkerCount() const { return static_cast<int>(FWorkers.size()); }
    // Each worker's memory cap in bytes; 0 when they have none.
    std::uint64_t MemoryLimit() const { return FMemoryLimit; }

private:
    struct Worker {
        pid_t Pid = -1;
        FileDescriptor PidFd;
        std::unique_ptr<Channel> Link;
        std::optional<TWorkerOutput> Output; // its standard error
        bool Alive = true;
        bool Paused = false;
        std::int64_t Document = -1; // the document it has open
        std::int64_t Entry = -1;    // the entry it holds, -1 when idle
        std::uint64_t Reserved = 0; // memory granted for that entry
        std::chrono::steady_clock::time_point Deadline;
    };
    struct EntryState {
        FrontEntry Front;
        std::size_t Worker = 0;
    };

    std::int64_t DocumentOf(std::int64_t index) const;
    // A failed entry ends its document: no later entry of it is handed out.
    bool Ended(std::int64_t index) const;
    // The front moves to entry `to`; the entries before it are done with.
    void MoveFront(std::int64_t to);
    void Spawn(std::size_t slot);
    void Dispatch();
    void Handle(std::size_t worker, Frame& frame);
    void Read(std::size_t worker);
    // Waits for a worker that ended (or was ended); the entry it held fails, for `reason` or
    // for how it ended.
    void Reap(std::size_t worker, const std::string& reason = {});
    void EntryFinished(std::size_t worker);
    void Grant();
    void CheckClock();
    void ArmClock();
    void Watch(std::size_t worker);
    void Fail(std::int64_t index, Failure failure);

    PoolOptions FOptions;
    std::vector<PoolDocument> FDocuments;
    std::vector<std::int64_t> FEnds;     // one past each document's last entry
    std::vector<std::int64_t> FFailedAt; // each document's first failed entry, or its end
    std::int64_t FCount = 0;
    std::function<PoolEntry(std::int64_t)> FEntryAt;
    FileDescriptor FEpoll;
    FileDescriptor FClock;
    std::vector<Worker> FWorkers;
    std::map<std::int64_t, EntryState> FEntries; // handed out, not yet advanced past
    std::int64_t FFront = 0;
    std::int64_t FNext = 0;
    std::map<std::int64_t, std::pair<std::size_t, std::uint64_t>> FWaiting; // entry: worker, bytes
    std::uint64_t FReserved = 0;
    std::uint64_t FMemory = 0; // free at the start; 0 when unknown
    std::uint64_t FMemoryLimit = 0;
    bool FClosing = false; // the pool is ending its workers: none is replaced
    std::uint64_t FBuffered = 0;
    std::uint64_t FBufferLimit;
};

} // namespace folioxa
