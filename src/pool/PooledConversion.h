#pragma once

#include "conversion/ConversionJob.h"
#include "imaging/OutputFile.h"
#include "pool/RenderPool.h"
#include "pool/WorkerDocument.h"

#include <sys/types.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace folioxa {

// An entry of a pooled run: its document's position among the run's documents, its own in that
// document's list, its text and its file.
struct NextEntry {
    std::size_t Document = 0;
    std::int64_t Index = 0;
    std::string Text;
    std::string Path;
};

// One document of a pooled run.
struct PooledDocument {
    ConversionSettings Settings;
    ConversionView* View = nullptr; // its run's window operations; outlives the run
    RunObserver Observer;
    // The open file the document is read from; null: its file name is opened.
    std::shared_ptr<FileDescriptor> File;
    // Where the document's failure goes (opening, listing, its first failing entry) once its
    // run is cleaned up; the other documents go on. Empty: the failure ends the whole run and is
    // thrown.
    std::function<void(const std::exception&)> OnFailed;
};

// One run whose entries the render pool draws and encodes while this process writes each file
// itself, strictly in list order, through the output-file step. Its documents are opened by the
// page workers (TWorkerDocument): the worker that opened the last one draws its pages. The run
// keeps the serial run's steps and window operations (the bar's position moves as each entry's file
// is written); the files on disk and the failure, message for message, are the serial run's at any
// worker count. It never blocks: the owner watches EventFd and calls Process (the window from its
// event loop, the command line from a loop of its own, RunPooledConversion).
class TPooledConversion {
public:
    // Opens the document, builds the list (its notices), shows the run and starts the workers.
    // An empty selection ends the run here with nothing shown; an empty list completes it
    // ("Conversion complete!"). Throws what opening and listing throw, and Error when the workers
    // cannot start (after the clean-up).
    TPooledConversion(const ConversionSettings& settings, TWorkerDocument& document,
                      ConversionView& view, PoolOptions options, RunObserver observer = {});
    // Several documents through one pool, their entries one document after the other: each is
    // opened in turn by `document`, listed and shown on its own view, and completes or fails as
    // a run of its own would (its failure ends its own entries only, when it has OnFailed).
    TPooledConversion(std::vector<PooledDocument> documents, TWorkerDocument& document,
                      PoolOptions options);
    // Ends a run still going as Stop does.
    ~TPooledConversion();
    TPooledConversion(const TPooledConversion&) = delete;
    TPooledConversion& operator=(const TPooledConversion&) = delete;

    bool Finished() const { return FFinished; }
    // Readable when Process has something to do; -1 once finished.
    int EventFd() const;
    // Writes what has arrived, in list order. After a document's last entry: its clean-up, then
    // "Conversion complete!". After a failure: the clean-up, then the failure is thrown (or
    // handed to the document's OnFailed).
    void Process();
    // Ends the run now: the workers end, a file half written is dropped (the earlier file of
    // that name stays), the clean-up runs. Nothing is shown.
    void Stop();

    // Over all documents.
    std::int64_t Written() const { return FWritten; }
    std::int64_t Count() const { return FCount; }
    // The entry to be written next, of the first document not ended yet; nothing when none is
    // left.
    std::optional<NextEntry> Next() const;
    int WorkerCount() const { return FPool ? FPool->WorkerCount() : 0; }

private:
    struct Part {
        PooledDocument Input;
        std::unique_ptr<RunSession> Session; // null when the document could not be opened
        // What the workers read: the input's own file, or the file it was listed from, opened
        // again by name when its first entry is handed out and checked to be that very file.
        std::shared_ptr<FileDescriptor> WorkerFile;
        std::optional<std::pair<dev_t, ino_t>> ListedFile;
        std::shared_ptr<const OutputFolder> Folder; // opened at its first file
        std::int64_t Count = 0;                     // entries in its list
        std::int64_t Position = 0; // the entry of its list next to write or leave out
        std::int64_t Written = 0;
        // SkipExisting: each entry of the list whose file is there when the run reaches it (it
        // exists now, or an earlier entry writes it), and the entries the pool draws; both empty
        // when none is left out.
        std::vector<bool> Skipped;
        std::vector<std::int64_t> Drawn;
        bool Ended = false;
    };

    void Open(std::size_t part, TWorkerDocument& document);
    // Finds the entries of the part's list that SkipExisting leaves out.
    static void PlanSkips(Part& part);
    // The entry of the part's list that the pool's entry `drawn` of the part stands for.
    static std::int64_t ListIndex(const Part& part, std::int64_t drawn);
    // Leaves out the part's entry at its position, its file being there.
    void Skip(Part& part);
    void Start(PoolOptions options, TWorkerDocument& document);
    // The part that pool entry `index` belongs to.
    std::size_t PartOf(std::int64_t index) const;
    // Tells the entry's observer that a worker took it, or drew it.
    void Drawing(std::int64_t index, bool drawn);
    void CommitReady();
    // Writes what arrived of the front entry; true once its file is complete.
    bool WriteFront(Part& part, FrontEntry& front);
    // Creates the front entry's file in the part's folder.
    void CreateFile(Part& part);
    // The part's clean-up (the whole run's, when no other part is going on).
    void EndPart(Part& part);
    // Called from a handler of the part's failure: hands it on, or rethrows it.
    void FailPart(Part& part, const std::exception& failure);
    void End();

    // Never resized once made: the sessions keep references to their settings.
    std::vector<Part> FParts;
    std::vector<std::int64_t> FStarts; // each part's first entry in the pool's list
    std::size_t FCurrent = 0;          // the part whose entries are being written
    std::int64_t FCount = 0;
    std::int64_t FWritten = 0;
    bool FFinished = false;
    // Torn down in reverse: the file half written first, then the workers.
    std::unique_ptr<TRenderPool> FPool;
    // The last part's folder, which the next part shares when its files go to the same one.
    std::shared_ptr<const OutputFolder> FLastFolder;
    std::optional<OutputFile> FFile;
    std::string FPath;
    std::chrono::steady_clock::time_point FFileStart;
};

// Processes `run` until it has finished, waiting here for its workers; for callers without an
// event loop. Throws what Process throws.
void RunToEnd(TPooledConversion& run);

// The same run, waited for here.
void RunPooledConversion(const ConversionSettings& settings, TWorkerDocument& document,
                         ConversionView& view, const PoolOptions& options,
                         const RunObserver& observer = {});

} // namespace folioxa
