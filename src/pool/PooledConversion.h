#pragma once

#include "conversion/ConversionJob.h"
#include "imaging/OutputFile.h"
#include "pool/RenderPool.h"

#include <memory>
#include <optional>

namespace folioxa {

// One run whose entries the render pool draws and encodes while this process writes each file
// itself, strictly in list order, through the output-file step. The run keeps the serial run's
// steps and window operations (the bar's position moves as each entry's file is written); the
// files on disk and the failure, message for message, are the serial run's at any worker count.
// It never blocks: the owner watches EventFd and calls Process (the window from its event loop,
// the command line from a loop of its own, RunPooledConversion).
class TPooledConversion {
public:
    // Opens the document, builds the list (its notices), shows the run and starts the workers.
    // An empty selection ends the run here with nothing shown; an empty list completes it
    // ("Conversion complete!"). Throws what opening and listing throw, and Error when the workers
    // cannot start (after the clean-up).
    TPooledConversion(const ConversionSettings& settings, ConversionDocument& document,
                      ConversionView& view, PoolOptions options, RunObserver observer = {});
    // Ends a run still going as Stop does.
    ~TPooledConversion();
    TPooledConversion(const TPooledConversion&) = delete;
    TPooledConversion& operator=(const TPooledConversion&) = delete;

    bool Finished() const { return FFinished; }
    // Readable when Process has something to do; -1 once finished.
    int EventFd() const;
    // Writes what has arrived, in list order. After the last entry: the clean-up, then
    // "Conversion complete!". After a failure: the clean-up, then the failure is thrown.
    void Process();
    // Ends the run now: the workers end, a file half written is dropped (the earlier file of
    // that name stays), the clean-up runs. Nothing is shown.
    void Stop();

    std::int64_t Written() const { return FWritten; }
    std::int64_t Count() const { return FCount; }
    // The text of the list's entry `index` (below Count()) and its output file.
    std::string EntryText(std::int64_t index) const;
    std::string PathOf(const std::string& entry) const;
    int WorkerCount() const { return FPool ? FPool->WorkerCount() : 0; }

private:
    void CommitReady();
    void End();

    ConversionSettings FSettings;
    ConversionView& FView;
    RunObserver FObserver;
    RunSession FSession;
    std::int64_t FCount = 0;
    std::int64_t FWritten = 0;
    bool FFinished = false;
    // Torn down in reverse: the file half written first, then the workers.
    std::unique_ptr<TRenderPool> FPool;
    std::optional<OutputFile> FFile;
    std::string FPath;
    std::chrono::steady_clock::time_point FFileStart;
};

// The same run, waited for here; for callers without an event loop.
void RunPooledConversion(const ConversionSettings& settings, ConversionDocument& document,
                         ConversionView& view, const PoolOptions& options,
                         const RunObserver& observer = {});

} // namespace folioxa
