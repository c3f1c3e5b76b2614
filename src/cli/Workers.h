#pragma once

#include "cli/CommandLine.h"
#include "conversion/ConversionDocument.h"
#include "conversion/ImageOutput.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace folioxa {

// The entries of one page list shared among worker processes: a few counters in shared memory
// (a memfd that the workers inherit). Each index below the limit is claimed once, in increasing
// order over all workers; once a failure is known, no entry after it is handed out.
class TClaimBoard {
public:
    // A new board for the entries [0, limit). Throws Error when the shared memory cannot be had.
    explicit TClaimBoard(std::int64_t limit);
    // The board a parent created, reached through its inherited descriptor (adopted, closed here).
    static TClaimBoard Attach(int fd);
    TClaimBoard(TClaimBoard&& other) noexcept;
    TClaimBoard& operator=(TClaimBoard&&) = delete;
    TClaimBoard(const TClaimBoard&) = delete;
    TClaimBoard& operator=(const TClaimBoard&) = delete;
    ~TClaimBoard();

    int Fd() const { return FFd; }
    // The next entry to convert, or `count` when none is left for anyone.
    std::int64_t Claim(std::int64_t count);
    // Entry `index` failed: entries after it are no longer handed out.
    void ReportFailure(std::int64_t index);

private:
    TClaimBoard(int fd, bool create, std::int64_t limit);
    int FFd = -1;
    std::int64_t* FCounters = nullptr; // next, limit, first failure
};

// What a worker tells the parent, one line each.
struct WorkerEvent {
    enum Kind { Started, Written, Failed, OpenFailed };
    Kind Type = Started;
    std::int64_t Index = -1; // the entry; -1 for a failure outside every entry
    std::string Text;        // the entry as listed
    std::string Path;
    std::int64_t Bytes = 0;
    std::int64_t Microseconds = 0;
    std::string Message; // Failed, OpenFailed: the failure's own text
};

// One line, "\n" included; fields are tab-separated with tab, newline and backslash escaped.
std::string EncodeWorkerEvent(const WorkerEvent& event);
// Throws Error for a line that EncodeWorkerEvent did not make.
WorkerEvent DecodeWorkerEvent(const std::string& line);

// Bytes of the file at `path` (what a page record reports); -1 when it cannot be read.
std::int64_t FileSize(const std::string& path);

// The worker's side: reads the password from the first line of `in`, converts the entries it
// claims from the board with the same run as a serial conversion, reports every entry on `out`.
// Returns the process's exit code.
int RunWorker(const CommandLine& line, ConversionDocument& document, ImageOutput& output,
              std::istream& in, std::ostream& out);

// The parent's side: starts `jobs` copies of `executable` in worker mode over the entries
// [0, limit) of `line`'s page list, hands each the password, and passes every event on as it
// arrives. A worker that ends without reporting becomes a failure of the entry it was on.
// Returns the failure of the first failing entry in list order, or, if no entry failed, the
// first failure outside the entries; nothing when every claimed entry was written.
std::optional<WorkerEvent> RunWorkers(const std::string& executable, const CommandLine& line,
                                      int jobs, const std::string& password, std::int64_t limit,
                                      const std::function<void(const WorkerEvent&)>& onEvent);

} // namespace folioxa
