#include "pool/RenderPool.h"

#include "base/Error.h"
#include "conversion/AvailableMemory.h"
#include "conversion/ConversionJob.h"
#include "pool/MemoryLimit.h"
#include "pool/WorkerProcess.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace folioxa {

namespace {

using Clock = std::chrono::steady_clock;

// Epoll tags: what woke us, and which worker.
constexpr std::uint64_t kClockTag = ~std::uint64_t{0};
constexpr std::uint64_t kPidTag = std::uint64_t{1} << 62;
constexpr std::uint64_t kOutputTag = std::uint64_t{1} << 61;
// Bytes read from one worker in one go: enough to move a page quickly, little enough that the
// other workers and the caller get their turn.
constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr int kReadsPerTurn = 8;
// The least default share of memory a worker gets: the engine and a page of a usual size fit.
constexpr std::uint64_t kLeastMemoryShare = std::uint64_t{256} << 20;

std::string SystemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string EndText(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = strsignal(WTERMSIG(status));
        return name != nullptr ? name : "signal " + std::to_string(WTERMSIG(status));
    }
    return "exit code " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

std::string Seconds(double seconds) {
    std::string text = std::to_string(seconds);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

} // namespace

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

TRenderPool::TRenderPool(PoolOptions options, std::vector<PoolDocument> documents,
                         std::function<PoolEntry(std::int64_t)> entryAt)
    : FOptions(std::move(options)), FDocuments(std::move(documents)), FEntryAt(std::move(entryAt)) {
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
    if (!FEpoll || !FClock) {
        throw Error(SystemText("Cannot start the page workers"));
    }
    epoll_event clock{EPOLLIN, {.u64 = kClockTag}};
    epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, FClock.Get(), &clock);
    FMemory = AvailableMemory().value_or(0);
    FBufferLimit = std::uint64_t{64} << 20;
    if (access(FOptions.WorkerPath.c_str(), X_OK) != 0) {
        throw Error(SystemText("Cannot start the page workers: " + FOptions.WorkerPath));
    }
    const std::int64_t workers = std::min<std::int64_t>(std::max(FOptions.Workers, 1), FCount);
    if (MemoryLimitSupported() && workers > 0) {
        FMemoryLimit = FOptions.MemoryLimit > 0 ? FOptions.MemoryLimit
                       : FMemory > 0 ? std::max(FMemory / static_cast<std::uint64_t>(workers),
                                                kLeastMemoryShare)
                                     : 0;
    }
    for (std::int64_t i = 0; i < workers; ++i) {
        Spawn(static_cast<std::size_t>(i));
    }
    Dispatch();
}

TRenderPool::~TRenderPool() {
    FClosing = true;
    for (std::size_t i = 0; i < FWorkers.size(); ++i) {
        if (FWorkers[i].Alive) {
            kill(FWorkers[i].Pid, SIGKILL);
            FWorkers[i].Entry = -1;
            Reap(i);
        }
    }
}

void TRenderPool::Spawn(std::size_t slot) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        throw Error(SystemText("Cannot start a page worker"));
    }
    FileDescriptor ours(sockets[0]);
    FileDescriptor theirs(sockets[1]);
    // A page's bytes move in big pieces: fewer wake-ups on both sides.
    const int buffer = 4 << 20;
    setsockopt(ours.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(theirs.Get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    WorkerLaunch launch;
    launch.Path = FOptions.WorkerPath;
    if (FMemoryLimit > 0) {
        launch.Arguments.push_back(std::string(kMemoryLimitOption) + std::to_string(FMemoryLimit));
    }
    launch.Socket = theirs.Get();
    WorkerProcess process = StartWorker(launch);
    Worker worker;
    worker.Pid = process.Pid;
    worker.PidFd = std::move(process.PidFd);
    worker.Output.emplace(std::move(process.Output));
    fcntl(ours.Get(), F_SETFL, fcntl(ours.Get(), F_GETFL) | O_NONBLOCK);
    worker.Link = std::make_unique<Channel>(std::move(ours));
    // A worker that ended leaves its slot to the one that replaces it; its descriptors left the
    // epoll set when it was reaped.
    if (slot < FWorkers.size()) {
        FWorkers[slot] = std::move(worker);
    } else {
        FWorkers.push_back(std::move(worker));
    }
    const std::size_t index = slot;
    Watch(index);
    if (FWorkers[index].PidFd) {
        epoll_event ended{EPOLLIN, {.u64 = kPidTag | index}};
        epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, FWorkers[index].PidFd.Get(), &ended);
    }
    epoll_event output{EPOLLIN, {.u64 = kOutputTag | index}};
    epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, FWorkers[index].Output->Fd(), &output);
}

void TRenderPool::Watch(std::size_t index) {
    Worker& worker = FWorkers[index];
    epoll_event readable{worker.Paused ? 0U : static_cast<std::uint32_t>(EPOLLIN), {.u64 = index}};
    if (epoll_ctl(FEpoll.Get(), EPOLL_CTL_MOD, worker.Link->Fd(), &readable) != 0) {
        epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, worker.Link->Fd(), &readable);
    }
}

std::int64_t TRenderPool::DocumentOf(std::int64_t index) const {
    return std::upper_bound(FEnds.begin(), FEnds.end(), index) - FEnds.begin();
}

bool TRenderPool::Ended(std::int64_t index) const {
    return index > FFailedAt[static_cast<std::size_t>(DocumentOf(index))];
}

void TRenderPool::Dispatch() {
    const std::int64_t ahead =
        4 * static_cast<std::int64_t>(std::max<std::size_t>(FWorkers.size(), 1));
    std::size_t i = 0;
    while (FNext < FCount && FNext - FFront < ahead) {
        if (Ended(FNext)) {
            FNext = FEnds[static_cast<std::size_t>(DocumentOf(FNext))];
            continue;
        }
        while (i < FWorkers.size() && FWorkers[i].Alive && FWorkers[i].Entry >= 0) {
            ++i;
        }
        if (i == FWorkers.size()) {
            break;
        }
        if (!FWorkers[i].Alive) {
            // Its engine crashed or ran out of time on another document's page.
            Spawn(i);
        }
        Worker& worker = FWorkers[i++];
        const std::int64_t index = FNext++;
        EntryState& state = FEntries[index];
        state.Front.Index = index;
        state.Worker = i;
        worker.Entry = index;
        if (FOptions.PageTimeoutSeconds > 0) {
            worker.Deadline =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(FOptions.PageTimeoutSeconds));
        }
        const PoolEntry entry = FEntryAt(index);
        try {
            if (worker.Document != entry.Document) {
                const PoolDocument& document =
                    FDocuments.at(static_cast<std::size_t>(entry.Document));
                DocumentJob job = document.Job;
                job.Id = entry.Document;
                job.AvailableMemory = FMemory;
                worker.Link->Send(FrameType::Document, entry.Document, EncodeDocumentJob(job),
                                  document.File->Get());
                worker.Document = entry.Document;
            }
            worker.Link->Send(FrameType::Entry, index, EncodeEntry(entry.Document, entry.Text));
        } catch (const Error&) {
            // It has gone: its end, read from its socket or its pid, names the entry.
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
        } else if ((tag & kOutputTag) != 0) {
            // Closed at its end or its bound, which takes it out of the epoll set.
            FWorkers[tag & ~kOutputTag].Output->Read();
        } else if ((tag & kPidTag) != 0) {
            const std::size_t worker = tag & ~kPidTag;
            // Whatever it sent before it ended counts.
            Read(worker);
            if (FWorkers[worker].Alive) {
                Reap(worker);
            }
        } else {
            Read(tag);
        }
    }
    Dispatch();
}

void TRenderPool::Read(std::size_t index) {
    Worker& worker = FWorkers[index];
    for (int turn = 0; turn < kReadsPerTurn && worker.Alive && !worker.Paused; ++turn) {
        const long got = worker.Link->ReadAvailable(kReadBytes);
        try {
            while (std::optional<Frame> frame = worker.Link->NextFrame()) {
                Handle(index, *frame);
            }
        } catch (const Error& e) {
            kill(worker.Pid, SIGKILL);
            Reap(index, e.what());
            return;
        }
        if (got < 0) {
            Reap(index);
        }
        if (got <= 0) {
            return;
        }
    }
}

void TRenderPool::Handle(std::size_t index, Frame& frame) {
    Worker& worker = FWorkers[index];
    if (frame.Index != worker.Entry) {
        throw Error("A page worker sent a message about an entry it does not hold");
    }
    // Null for an entry dropped with its document: it is drawn to the end, and its bytes are
    // thrown away.
    const auto found = FEntries.find(frame.Index);
    FrontEntry* entry = found != FEntries.end() ? &found->second.Front : nullptr;
    switch (frame.Type) {
    case FrameType::Size: {
        const auto [width, height] = DecodeSize(frame.Payload);
        const std::uint64_t bytes = PageMemoryBytes(width, height);
        FBufferLimit = std::max(FBufferLimit, FWorkers.size() * bytes / 2);
        FWaiting[frame.Index] = {index, bytes};
        Grant();
        break;
    }
    case FrameType::Data:
        if (entry == nullptr) {
            break;
        }
        entry->Data += frame.Payload;
        if (frame.Index != FFront) {
            FBuffered += frame.Payload.size();
            if (FBuffered > FBufferLimit) {
                worker.Paused = true;
                Watch(index);
            }
        }
        break;
    case FrameType::Done:
        if (entry != nullptr) {
            entry->Milliseconds = static_cast<double>(DecodeDone(frame.Payload)) / 1000.0;
            entry->Complete = true;
        }
        EntryFinished(index);
        break;
    case FrameType::Failed:
        Fail(frame.Index, DecodeFailure(frame.Payload));
        EntryFinished(index);
        break;
    default:
        throw Error("A page worker sent a message out of turn");
    }
}

void TRenderPool::Fail(std::int64_t index, Failure failure) {
    const auto found = FEntries.find(index);
    if (found == FEntries.end() || found->second.Front.Failed || found->second.Front.Complete) {
        return;
    }
    FrontEntry& entry = found->second.Front;
    if (index != FFront) {
        FBuffered -= std::min<std::uint64_t>(FBuffered, entry.Data.size());
    }
    entry.Data.clear();
    entry.Failed = std::move(failure);
    // Nothing of its document after a failing entry is ever written: hand out no more of it.
    std::int64_t& failedAt = FFailedAt[static_cast<std::size_t>(DocumentOf(index))];
    failedAt = std::min(failedAt, index);
}

void TRenderPool::EntryFinished(std::size_t index) {
    Worker& worker = FWorkers[index];
    FWaiting.erase(worker.Entry);
    FReserved -= std::min(FReserved, worker.Reserved);
    worker.Reserved = 0;
    worker.Entry = -1;
    Grant();
}

void TRenderPool::Grant() {
    for (auto it = FWaiting.begin(); it != FWaiting.end();) {
        const auto [index, wait] = *it;
        const auto [worker, bytes] = wait;
        // The next entry in order may always be drawn, so the run never stands still.
        const bool fits = FMemory == 0 || FReserved == 0 || FReserved + bytes <= FMemory;
        if (!fits && index != FFront) {
            ++it;
            continue;
        }
        it = FWaiting.erase(it);
        Worker& w = FWorkers[worker];
        if (!w.Alive || w.Entry != index) {
            continue;
        }
        w.Reserved = bytes;
        FReserved += bytes;
        try {
            w.Link->Send(FrameType::Go, index);
        } catch (const Error&) {
            // Gone: its end is on its way.
        }
    }
}

void TRenderPool::Reap(std::size_t index, const std::string& reason) {
    Worker& worker = FWorkers[index];
    if (!worker.Alive) {
        return;
    }
    worker.Alive = false;
    epoll_ctl(FEpoll.Get(), EPOLL_CTL_DEL, worker.Link->Fd(), nullptr);
    if (worker.PidFd) {
        epoll_ctl(FEpoll.Get(), EPOLL_CTL_DEL, worker.PidFd.Get(), nullptr);
    }
    int status = 0;
    pid_t done;
    while ((done = waitpid(worker.Pid, &status, 0)) < 0 && errno == EINTR) {
    }
    // All it wrote is in the pipe now: a sanitizer's report of its end is passed on whole.
    worker.Output->Finish();
    if (worker.Entry >= 0) {
        const std::string why = !reason.empty() ? reason : done < 0 ? "lost" : EndText(status);
        Fail(worker.Entry, {ErrorKind::Other, FailureStage::BeforeFile,
                            "The PDF engine stopped while drawing page " +
                                FEntryAt(worker.Entry).Text + " (" + why + ")"});
        EntryFinished(index);
    } else if (!FClosing && FNext < FCount) {
        // Ended while idle (killed from outside): nothing failed, and the entries left need its
        // slot, which Dispatch fills with a new worker.
        Dispatch();
    }
}

void TRenderPool::CheckClock() {
    if (FOptions.PageTimeoutSeconds <= 0) {
        return;
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < FWorkers.size(); ++i) {
        Worker& worker = FWorkers[i];
        if (worker.Alive && worker.Entry >= 0 && worker.Deadline <= now) {
            Fail(worker.Entry,
                 {ErrorKind::Other, FailureStage::BeforeFile,
                  "Page " + FEntryAt(worker.Entry).Text + " took longer than the limit of " +
                      Seconds(FOptions.PageTimeoutSeconds) + " seconds"});
            kill(worker.Pid, SIGKILL);
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
    for (const Worker& worker : FWorkers) {
        if (worker.Alive && worker.Entry >= 0 && (!first || worker.Deadline < *first)) {
            first = worker.Deadline;
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
    // The entries passed over; those still being drawn are dropped as their bytes arrive.
    for (auto it = FEntries.lower_bound(FFront); it != FEntries.end() && it->first < to;) {
        if (it->first != FFront) {
            FBuffered -= std::min<std::uint64_t>(FBuffered, it->second.Front.Data.size());
        }
        it = FEntries.erase(it);
    }
    FFront = to;
    FNext = std::max(FNext, FFront);
    const auto next = FEntries.find(FFront);
    if (next != FEntries.end()) {
        // Its bytes are now taken as they come: no longer held against the bound.
        FBuffered -= std::min<std::uint64_t>(FBuffered, next->second.Front.Data.size());
    }
    for (std::size_t i = 0; i < FWorkers.size(); ++i) {
        Worker& worker = FWorkers[i];
        if (worker.Paused && (FBuffered <= FBufferLimit || worker.Entry == FFront)) {
            worker.Paused = false;
            Watch(i);
        }
    }
    Grant();
    Dispatch();
}

} // namespace folioxa
