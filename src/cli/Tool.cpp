#include "cli/Tool.h"

#include "cli/CommandLine.h"
#include "cli/DocumentInput.h"
#include "cli/DryRun.h"
#include "cli/NamePlan.h"
#include "cli/PasswordPrompt.h"
#include "cli/Records.h"
#include "cli/RunLoop.h"
#include "cli/ToolDocument.h"
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "imaging/OutputFile.h"
#include "pool/PooledConversion.h"
#include "pool/SignalPipe.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>

namespace folioxa {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Leaves the document inactive with page number 0 on every way out, as the run does.
class TDocumentCloser {
public:
    explicit TDocumentCloser(RunDocument& document) : FDocument(document) {}
    TDocumentCloser(const TDocumentCloser&) = delete;
    TDocumentCloser& operator=(const TDocumentCloser&) = delete;
    ~TDocumentCloser() {
        FDocument.SetActive(false);
        FDocument.SetPageNumber(0);
        FDocument.SetFileHandle(-1);
    }

private:
    RunDocument& FDocument;
};

int OpenOnce(RunDocument& document, const ConversionSettings& settings, int fileHandle) {
    TDocumentCloser closer(document);
    document.SetFileName(settings.InputFileName);
    document.SetPassword(settings.InputPassword);
    document.SetFileHandle(fileHandle);
    document.SetActive(true);
    return document.PageCount();
}

// -o may name a folder that does not exist yet: it is made with its parents, as `mkdir -p` does,
// before the first page. A path that exists is left to the run, which reports what is wrong.
void MakeOutputFolder(const std::string& folder) {
    std::error_code error;
    if (folder.empty() || std::filesystem::exists(folder, error)) {
        return;
    }
    if (!std::filesystem::create_directories(folder, error) && error) {
        throw Error(ErrorKind::CreateFile,
                    "Cannot create folder \"" + folder + "\". " + error.message());
    }
}

// One call of folioxa-convert: every document opened, planned, then converted through one pool.
class TTool {
public:
    TTool(const CommandLine& line, ToolEnvironment& env)
        : FLine(line), FEnv(env), FConsole(env.Out, env.Err, line.Json, line.Quiet,
                                           env.ErrIsTerminal, line.InputFiles.size() > 1) {}

    int Run();

private:
    // The run's pool, as the command line sets it up.
    PoolOptions Options() const;
    void Open(ToolDocument& document);
    // A --single-file document whose list holds more than one entry fails, before any page is
    // drawn.
    void RefuseSeveralForOneFile();
    bool NamesCollide();
    void Convert();
    int Fail(ToolDocument* document, int code, const std::string& message,
             const std::optional<PlannedEntry>& entry = {});
    int Worst() const { return WorstCode(FDocuments); }
    int Complete();
    // Entries left out by --skip-existing, over all documents.
    std::int64_t Skipped() const;
    // Stops `run` for `signal` and says at which entry of which document.
    void Interrupted(TPooledConversion& run, int signal, const std::vector<ToolDocument*>& running);

    const CommandLine& FLine;
    ToolEnvironment& FEnv;
    TConsole FConsole;
    std::vector<ToolDocument> FDocuments; // never resized once filled: the run refers to them
    int FJobs = 1;
    int FSignal = 0; // the signal that stopped the run
    Clock::time_point FStart = Clock::now();
};

int TTool::Run() {
    if (FEnv.InIsTerminal && std::any_of(FLine.InputFiles.begin(), FLine.InputFiles.end(),
                                         [](const std::string& f) { return ReadsStdin(f); })) {
        FConsole.Failure({}, "stdin is a terminal: pipe the PDF into '-', or name its file");
        return kExitUsage;
    }
    const std::string password = FLine.PasswordFromStdin ? ReadStdinPassword(FEnv) : std::string();
    // Opened by one worker started as the run's will be, which the run then draws with.
    FEnv.Document.SetOptions(Options());
    FEnv.Document.SetKeepWorker(true);
    FDocuments.resize(FLine.InputFiles.size());
    for (std::size_t i = 0; i < FDocuments.size(); ++i) {
        ToolDocument& document = FDocuments[i];
        document.Name = FLine.InputFiles[i];
        document.Settings = SettingsFor(FLine, document.Name);
        document.Settings.InputPassword = password;
        Open(document);
    }
    RefuseSeveralForOneFile();
    if (std::all_of(FDocuments.begin(), FDocuments.end(),
                    [](const ToolDocument& d) { return d.Code != kExitOk; })) {
        Complete();
        return Worst();
    }
    if (NamesCollide()) {
        return kExitUsage;
    }
    if (FLine.DryRun) {
        DryRun(FDocuments, FConsole, FEnv.Out,
               [this](ToolDocument* document, int code, const std::string& text) {
                   Fail(document, code, text);
               });
    } else {
        Convert();
    }
    return FSignal != 0 ? 128 + FSignal : Worst();
}

PoolOptions TTool::Options() const {
    PoolOptions options;
    options.Workers = FLine.Jobs;
    options.WorkerPath = FEnv.WorkerPath;
    options.PageTimeoutSeconds = FLine.PageTimeout;
    options.MemoryLimit = static_cast<std::uint64_t>(FLine.MemoryLimitMb) << 20;
    return options;
}

void TTool::Open(ToolDocument& document) {
    ConversionSettings& settings = document.Settings;
    bool prompted = false;
    try {
        document.File = SharedInput(document.Name, FEnv.InFd, SpoolLimit());
        const int handle = document.File ? document.File->Get() : -1;
        const PasswordQuestion ask =
            DocumentPasswordQuestion(FEnv, FLine.PasswordFromStdin, document.Name, prompted);
        const OpenedDocument opened = OpenAskingOnce(
            [this, &settings, handle](const std::string& password) {
                settings.InputPassword = password;
                return OpenOnce(FEnv.Document, settings, handle);
            },
            settings.InputPassword, ask);
        document.PageCount = opened.PageCount;
    } catch (const std::exception& e) {
        Fail(&document, kExitCannotOpen, e.what());
        if (KindOf(e) == ErrorKind::Password && !FLine.PasswordFromStdin && !prompted) {
            FConsole.Failure(document.Name,
                             "the document is protected: give its password on the first line of "
                             "stdin with --password-stdin");
        }
    }
}

void TTool::RefuseSeveralForOneFile() {
    for (ToolDocument& document : FDocuments) {
        if (document.Code != kExitOk || !document.Settings.SingleFile) {
            continue;
        }
        try {
            const std::optional<PageList> pages = ListPages(document, [](const std::string&) {});
            if (pages && pages->Count() > 1) {
                Fail(&document, kExitUsage,
                     "--single-file writes one file, but the list has " +
                         std::to_string(pages->Count()) +
                         " entries: choose one page with -p, or with -f and -l");
            }
        } catch (const std::exception&) {
            // A list that cannot be built fails its run before any file is written.
        }
    }
}

bool TTool::NamesCollide() {
    const std::optional<std::string> message = SharedFileMessage(FDocuments);
    if (!message) {
        return false;
    }
    FConsole.Failure({}, *message);
    FConsole.Record(ErrorRecord({}, kExitUsage, *message, std::nullopt, 0));
    return true;
}

void TTool::Convert() {
    std::vector<PooledDocument> inputs;
    std::vector<ToolDocument*> running; // in the order of `inputs`
    for (ToolDocument& document : FDocuments) {
        if (document.Code != kExitOk) {
            continue;
        }
        running.push_back(&document);
        document.View = std::make_unique<TTextView>(FConsole, document.Name);
        PooledDocument input;
        input.Settings = document.Settings;
        input.View = document.View.get();
        input.File = document.File;
        input.Observer.OnEntryStarted = [&document](const EntryEvent& e) {
            document.Current = PlannedEntry{e.Index, e.Text, e.Path, 0, false};
            document.View->ShowEntry(e.Path);
        };
        input.Observer.OnEntryWritten = [this, &document](const EntryEvent& e) {
            document.Current.reset();
            ++document.Written;
            FConsole.Record(PageRecord(document.Name, e));
        };
        input.Observer.OnEntrySkipped = [this, &document](const EntryEvent& e) {
            document.View->EntrySkipped();
            FConsole.Record(PageRecord(document.Name, e, /*skipped=*/true));
        };
        input.OnFailed = [this, &document](const std::exception& e) {
            const bool open = KindOf(e) == ErrorKind::Open;
            Fail(&document, open ? kExitCannotOpen : kExitFailed, e.what(), document.Current);
        };
        inputs.push_back(std::move(input));
    }
    if (inputs.empty()) {
        return;
    }
    try {
        MakeOutputFolder(FLine.OutputDirectory.value_or(""));
        // Caught from before the run starts, so that no signal ends it with a file half written.
        TSignalPipe signals;
        TPooledConversion run(std::move(inputs), FEnv.Document, Options());
        FJobs = run.WorkerCount();
        if (const int signal = RunUntilSignal(run, signals); signal != 0) {
            Interrupted(run, signal, running);
            return;
        }
    } catch (const std::exception& e) {
        // Not one document's failure: the output folder could not be made, or the workers could
        // not be started or waited for.
        Fail(nullptr, kExitFailed, e.what());
        for (ToolDocument& document : FDocuments) {
            document.Code = std::max(document.Code, static_cast<int>(kExitFailed));
        }
        return;
    }
    const auto empty = std::find_if(FDocuments.begin(), FDocuments.end(), [](const auto& d) {
        return d.View && d.View->SelectionEmpty();
    });
    if (empty != FDocuments.end()) {
        // The one selection is empty for every document: said once.
        Fail(nullptr, kExitUsage, kInvalidRangeNotice);
        for (ToolDocument& document : FDocuments) {
            if (document.View && document.View->SelectionEmpty()) {
                document.Code = kExitUsage;
            }
        }
        return;
    }
    Complete();
}

void TTool::Interrupted(TPooledConversion& run, int signal,
                        const std::vector<ToolDocument*>& running) {
    FSignal = signal;
    const std::optional<NextEntry> next = run.Next();
    // The workers end and the file half written goes before anything is said.
    run.Stop();
    ToolDocument* document = next ? running.at(next->Document) : nullptr;
    std::optional<PlannedEntry> entry;
    if (document) {
        // The entry whose file was begun, else the one being drawn.
        entry = document->Current ? document->Current
                                  : PlannedEntry{next->Index, next->Text, next->Path, 0, false};
    }
    Fail(document, 128 + signal,
         "Conversion interrupted by " + SignalName(signal) + ": " +
             std::to_string(WrittenPages(FDocuments)) + " of " + std::to_string(run.Count()) +
             " pages written" +
             (Skipped() > 0 ? ", " + std::to_string(Skipped()) + " skipped" : ""),
         entry);
}

int TTool::Complete() {
    // One document's failure is its error record; several end with a summary of all.
    if (FDocuments.size() == 1 && Worst() != kExitOk) {
        return Worst();
    }
    RunSummary summary;
    summary.Written = WrittenPages(FDocuments);
    if (FLine.Settings.SkipExisting) {
        summary.Skipped = Skipped();
    }
    summary.Documents = static_cast<std::int64_t>(FDocuments.size());
    summary.FailedDocuments =
        std::count_if(FDocuments.begin(), FDocuments.end(),
                      [](const ToolDocument& d) { return d.Code != kExitOk; });
    summary.Jobs = FJobs;
    summary.Seconds = SecondsSince(FStart);
    summary.Exit = Worst();
    FConsole.Record(SummaryRecord(summary));
    return Worst();
}

std::int64_t TTool::Skipped() const {
    std::int64_t skipped = 0;
    for (const ToolDocument& document : FDocuments) {
        skipped += document.View ? document.View->Skipped() : 0;
    }
    return skipped;
}

int TTool::Fail(ToolDocument* document, int code, const std::string& message,
                const std::optional<PlannedEntry>& entry) {
    const std::string text = DisplayText(message);
    std::string where;
    const std::int64_t count = document && document->View ? document->View->ProgressMax() : 0;
    if (entry) {
        where = "entry \"" + entry->Text + "\" (" + std::to_string(entry->Index + 1) +
                (count > 0 ? " of " + std::to_string(count) : "") + "): ";
    }
    // An entry beyond the document's pages failed for that reason, whatever the engine said.
    const bool beyond = document && entry && TryParsePageNumber(entry->Text) &&
                        !NamesPage(entry->Text, document->PageCount);
    const std::string pages = beyond ? std::to_string(document->PageCount) +
                                           (document->PageCount == 1 ? " page" : " pages")
                                     : std::string();
    const std::string name = document ? document->Name : std::string();
    FConsole.Failure(
        name, where + (beyond ? DisplayText(message + ": the document has " + pages) : text));
    FConsole.Record(ErrorRecord(name, code, text, entry,
                                document ? document->Written : WrittenPages(FDocuments),
                                beyond ? document->PageCount : 0));
    if (document) {
        document->Code = std::max(document->Code, code);
    }
    return code;
}

} // namespace

namespace {

int RunMode(const CommandLine& line, ToolEnvironment& env) {
    switch (line.Mode) {
    case ToolMode::Help:
        env.Out << HelpText();
        return kExitOk;
    case ToolMode::Version:
        env.Out << VersionText();
        return kExitOk;
    case ToolMode::Convert:
        break;
    }
    return TTool(line, env).Run();
}

} // namespace

int RunTool(const std::vector<std::string>& args, ToolEnvironment& env) {
    CommandLine line;
    try {
        line = ParseCommandLine(args, env.OnlineCores);
    } catch (const EUsageError& e) {
        env.Err << "folioxa-convert: " << Printable(e.what())
                << "\nTry 'folioxa-convert --help'.\n";
        return kExitUsage;
    }
    const int code = RunMode(line, env);
    // What was printed must have reached its destination: a full disk or a closed pipe behind
    // stdout is a failed run, not a silent one.
    if (!env.Out.flush()) {
        env.Err << "folioxa-convert: cannot write to standard output\n";
        return code == kExitOk ? kExitFailed : code;
    }
    return code;
}

} // namespace folioxa
