#include "cli/Workers.h"

#include "cli/WatchedDocument.h"
#include "conversion/ConversionJob.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

namespace folioxa {

namespace {

constexpr std::size_t kCounterCount = 3;
constexpr std::size_t kNext = 0, kLimit = 1, kFirstFailure = 2;
static_assert(std::atomic_ref<std::int64_t>::is_always_lock_free,
              "the counters are shared between processes, which needs lock-free atomics");

std::string SystemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string Escape(const std::string& field) {
    std::string out;
    for (const char c : field) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::int64_t Number(const std::string& text) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) {
        throw Error("Malformed worker report: '" + text + "' is not a number");
    }
    return value;
}

const char* const kKindNames[] = {"started", "written", "failed", "openfailed"};

} // namespace

TClaimBoard::TClaimBoard(std::int64_t limit)
    // No close-on-exec: the workers inherit the descriptor across exec.
    : TClaimBoard(memfd_create("folioxa-claims", 0), true, limit) {}

TClaimBoard::TClaimBoard(int fd, bool create, std::int64_t limit) : FFd(fd) {
    const auto size = static_cast<off_t>(kCounterCount * sizeof(std::int64_t));
    if (FFd < 0 || (create && ftruncate(FFd, size) != 0)) {
        const std::string message = SystemText("Cannot share the pages among workers");
        if (FFd >= 0) {
            close(FFd);
        }
        throw Error(message);
    }
    void* memory = mmap(nullptr, kCounterCount * sizeof(std::int64_t), PROT_READ | PROT_WRITE,
                        MAP_SHARED, FFd, 0);
    if (memory == MAP_FAILED) {
        const std::string message = SystemText("Cannot share the pages among workers");
        close(FFd);
        throw Error(message);
    }
    FCounters = static_cast<std::int64_t*>(memory);
    if (create) {
        std::atomic_ref<std::int64_t>(FCounters[kNext]).store(0);
        std::atomic_ref<std::int64_t>(FCounters[kLimit]).store(limit);
        std::atomic_ref<std::int64_t>(FCounters[kFirstFailure]).store(INT64_MAX);
    }
}

TClaimBoard TClaimBoard::Attach(int fd) {
    return TClaimBoard(fd, false, 0);
}

TClaimBoard::TClaimBoard(TClaimBoard&& other) noexcept
    : FFd(std::exchange(other.FFd, -1)), FCounters(std::exchange(other.FCounters, nullptr)) {}

TClaimBoard::~TClaimBoard() {
    if (FCounters != nullptr) {
        munmap(FCounters, kCounterCount * sizeof(std::int64_t));
    }
    if (FFd >= 0) {
        close(FFd);
    }
}

std::int64_t TClaimBoard::Claim(std::int64_t count) {
    const std::int64_t index = std::atomic_ref<std::int64_t>(FCounters[kNext]).fetch_add(1);
    const std::int64_t limit = std::atomic_ref<std::int64_t>(FCounters[kLimit]).load();
    const std::int64_t failure = std::atomic_ref<std::int64_t>(FCounters[kFirstFailure]).load();
    return index >= limit || index > failure ? count : std::min(index, count);
}

void TClaimBoard::ReportFailure(std::int64_t index) {
    std::atomic_ref<std::int64_t> failure(FCounters[kFirstFailure]);
    std::int64_t known = failure.load();
    while (index < known && !failure.compare_exchange_weak(known, index)) {
    }
}

std::string EncodeWorkerEvent(const WorkerEvent& e) {
    std::string line = kKindNames[e.Type];
    for (const std::string& field :
         {std::to_string(e.Index), e.Text, e.Path, std::to_string(e.Bytes),
          std::to_string(e.Microseconds), e.Message}) {
        line += '\t';
        line += Escape(field);
    }
    return line + '\n';
}

WorkerEvent DecodeWorkerEvent(const std::string& line) {
    const std::vector<std::string> fields = SplitFields(line);
    if (fields.size() != 7) {
        throw Error("Malformed worker report: " + line);
    }
    WorkerEvent e;
    const auto kind = std::find(std::begin(kKindNames), std::end(kKindNames), fields[0]);
    if (kind == std::end(kKindNames)) {
        throw Error("Malformed worker report: " + line);
    }
    e.Type = static_cast<WorkerEvent::Kind>(kind - std::begin(kKindNames));
    e.Index = Number(fields[1]);
    e.Text = fields[2];
    e.Path = fields[3];
    e.Bytes = Number(fields[4]);
    e.Microseconds = Number(fields[5]);
    e.Message = fields[6];
    return e;
}

namespace {

// A worker's run shows nothing: the parent reports notices, progress and the outcome.
class TSilentView : public ConversionView {
public:
    void ShowNotice(const std::string&) override {}
    void SetBusy(bool) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetConvertControlsEnabled(bool) override {}
};

} // namespace

std::int64_t FileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

int RunWorker(const CommandLine& line, ConversionDocument& document, ImageOutput& output,
              std::istream& in, std::ostream& out) {
    std::string password;
    std::getline(in, password);
    TClaimBoard board = TClaimBoard::Attach(line.WorkerFd);
    ConversionSettings settings = SettingsFor(line);
    settings.InputPassword = password;

    TWatchedDocument watched(document);
    TSilentView view;
    WorkerEvent current;
    bool inEntry = false;
    std::chrono::steady_clock::time_point started;
    RunOptions options;
    options.NextEntry = [&board](std::int64_t, std::int64_t count) { return board.Claim(count); };
    options.OnEntryStarted = [&](const EntryEvent& e) {
        current = WorkerEvent{WorkerEvent::Started, e.Index, e.Text, e.Path, 0, 0, ""};
        inEntry = true;
        started = std::chrono::steady_clock::now();
        out << EncodeWorkerEvent(current) << std::flush;
    };
    options.OnEntryWritten = [&](const EntryEvent&) {
        inEntry = false;
        current.Type = WorkerEvent::Written;
        current.Microseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
        current.Bytes = FileSize(current.Path);
        out << EncodeWorkerEvent(current) << std::flush;
    };
    try {
        RunConversion(settings, watched, output, view, options);
        return 0;
    } catch (const std::exception& e) {
        WorkerEvent failure = inEntry ? current : WorkerEvent{};
        failure.Type = watched.OpenFailed() ? WorkerEvent::OpenFailed : WorkerEvent::Failed;
        failure.Message = e.what();
        if (inEntry) {
            board.ReportFailure(failure.Index);
        }
        out << EncodeWorkerEvent(failure) << std::flush;
        return watched.OpenFailed() ? 3 : 1;
    }
}

namespace {

// One worker process as the parent sees it. Ending it early (the parent failed) kills it.
class TWorkerProcess {
public:
    TWorkerProcess(const std::string& executable, const std::vector<std::string>& args,
                   const std::string& password);
    TWorkerProcess(const TWorkerProcess&) = delete;
    TWorkerProcess& operator=(const TWorkerProcess&) = delete;
    ~TWorkerProcess();

    int Output() const { return FOutput; }
    // Reads what is available; false at the end of the worker's output.
    bool Read(const std::function<void(const std::string&)>& onLine);
    // Waits for the process; its exit code, or 128 + the signal that ended it.
    int Wait();

private:
    pid_t FPid = -1;
    int FOutput = -1;
    std::string FPending;
};

TWorkerProcess::TWorkerProcess(const std::string& executable, const std::vector<std::string>& args,
                               const std::string& password) {
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        throw Error(SystemText("Cannot start a worker process"));
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        const std::string message = SystemText("Cannot start a worker process");
        close(input[0]), close(input[1]);
        throw Error(message);
    }
    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<char*> argv;
    std::string name = "folioxa-convert";
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
        if (dup2(input[0], STDIN_FILENO) < 0 || dup2(output[1], STDOUT_FILENO) < 0) {
            _exit(127);
        }
        execv(executable.c_str(), argv.data());
        _exit(127);
    }
    const int forkErrno = errno;
    close(input[0]);
    close(output[1]);
    if (FPid < 0) {
        close(input[1]);
        close(output[0]);
        errno = forkErrno;
        throw Error(SystemText("Cannot start a worker process"));
    }
    FOutput = output[0];
    // A password is short: it fits the pipe, so this never waits for the worker. A worker that
    // died at once gives EPIPE (SIGPIPE is ignored), which its exit status reports.
    const std::string line = password + "\n";
    [[maybe_unused]] const ssize_t written = write(input[1], line.data(), line.size());
    close(input[1]);
}

TWorkerProcess::~TWorkerProcess() {
    if (FOutput >= 0) {
        close(FOutput);
    }
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        Wait();
    }
}

bool TWorkerProcess::Read(const std::function<void(const std::string&)>& onLine) {
    char buffer[4096];
    const ssize_t got = read(FOutput, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    if (got <= 0) {
        close(FOutput);
        FOutput = -1;
        return false;
    }
    FPending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end = FPending.find('\n'); end != std::string::npos;
         end = FPending.find('\n')) {
        const std::string line = FPending.substr(0, end);
        FPending.erase(0, end + 1);
        onLine(line);
    }
    return true;
}

int TWorkerProcess::Wait() {
    int status = 0;
    pid_t done;
    do {
        done = waitpid(FPid, &status, 0);
    } while (done < 0 && errno == EINTR);
    FPid = -1;
    if (done < 0) {
        return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct WorkerState {
    std::unique_ptr<TWorkerProcess> Process;
    std::optional<WorkerEvent> Current; // started, not yet written
    bool Reported = false;              // sent its own failure
};

bool Earlier(const WorkerEvent& a, const std::optional<WorkerEvent>& b) {
    if (!b) {
        return true;
    }
    if ((a.Index >= 0) != (b->Index >= 0)) {
        return a.Index >= 0; // a failing entry comes before a failure outside the entries
    }
    return a.Index >= 0 && a.Index < b->Index;
}

} // namespace

std::optional<WorkerEvent> RunWorkers(const std::string& executable, const CommandLine& line,
                                      int jobs, const std::string& password, std::int64_t limit,
                                      const std::function<void(const WorkerEvent&)>& onEvent) {
    TClaimBoard board(limit);
    const std::vector<std::string> args = WorkerArguments(line, board.Fd());
    std::vector<WorkerState> workers(static_cast<std::size_t>(jobs));
    for (auto& worker : workers) {
        worker.Process = std::make_unique<TWorkerProcess>(executable, args, password);
    }
    std::optional<WorkerEvent> failure;
    const auto noteFailure = [&](const WorkerEvent& event) {
        if (Earlier(event, failure)) {
            failure = event;
        }
    };
    for (std::size_t open = workers.size(); open > 0;) {
        std::vector<pollfd> fds;
        std::vector<WorkerState*> owners;
        for (auto& worker : workers) {
            if (worker.Process && worker.Process->Output() >= 0) {
                fds.push_back({worker.Process->Output(), POLLIN, 0});
                owners.push_back(&worker);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Error(SystemText("Cannot follow the worker processes"));
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            WorkerState& worker = *owners[i];
            const bool more = worker.Process->Read([&](const std::string& text) {
                const WorkerEvent event = DecodeWorkerEvent(text);
                switch (event.Type) {
                case WorkerEvent::Started:
                    worker.Current = event;
                    break;
                case WorkerEvent::Written:
                    worker.Current.reset();
                    break;
                case WorkerEvent::Failed:
                case WorkerEvent::OpenFailed:
                    worker.Reported = true;
                    noteFailure(event);
                    break;
                }
                onEvent(event);
            });
            if (!more) {
                --open;
                const int code = worker.Process->Wait();
                worker.Process.reset();
                if (code != 0 && !worker.Reported) {
                    WorkerEvent lost = worker.Current.value_or(WorkerEvent{});
                    lost.Type = WorkerEvent::Failed;
                    lost.Message =
                        code > 128
                            ? "A worker process was ended by signal " + std::to_string(code - 128)
                            : "A worker process ended with exit code " + std::to_string(code);
                    if (lost.Index >= 0) {
                        board.ReportFailure(lost.Index);
                    }
                    noteFailure(lost);
                }
            }
        }
    }
    return failure;
}

} // namespace folioxa
