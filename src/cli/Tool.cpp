#include "cli/Tool.h"

#include "base/FileDescriptor.h"
#include "cli/CommandLine.h"
#include "cli/DocumentInput.h"
#include "cli/EntryPlan.h"
#include "cli/Json.h"
#include "cli/TextView.h"
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "conversion/PasswordRetry.h"
#include "pool/PooledConversion.h"
#include "pool/SignalPipe.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

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

// One document of the call, from its opening to its exit code.
struct ToolDocument {
    std::string Name; // as given
    ConversionSettings Settings;
    std::shared_ptr<FileDescriptor> File; // what it is read from; null: its name
    int PageCount = 0;
    int Code = kExitOk;
    std::unique_ptr<TTextView> View;
    std::optional<PlannedEntry> Current; // the entry whose file is being written
    std::int64_t Written = 0;
};

// One call of folioxa-convert: every document opened, planned, then converted through one pool.
class TTool {
public:
    TTool(const CommandLine& line, ToolEnvironment& env)
        : FLine(line), FEnv(env), FConsole(env.Out, env.Err, line.Json, line.Quiet,
                                           env.ErrIsTerminal, line.InputFiles.size() > 1) {}

    int Run();

private:
    std::string ReadPassword();
    // The run's pool, as the command line sets it up.
    PoolOptions Options() const;
    void Open(ToolDocument& document);
    std::optional<PageList> List(const ToolDocument& document, const NoticeFunction& notice);
    bool NamesCollide();
    void DryRun();
    void Convert();
    int Fail(ToolDocument* document, int code, const std::string& message,
             const std::optional<PlannedEntry>& entry = {});
    void RecordPage(ToolDocument& document, const EntryEvent& event);
    int Worst() const;
    // Pages written over all documents.
    std::int64_t Written() const;
    int Complete();
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
    const std::string password = FLine.PasswordFromStdin ? ReadPassword() : std::string();
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
    if (std::all_of(FDocuments.begin(), FDocuments.end(),
                    [](const ToolDocument& d) { return d.Code != kExitOk; })) {
        Complete();
        return Worst();
    }
    if (NamesCollide()) {
        return kExitUsage;
    }
    if (FLine.DryRun) {
        DryRun();
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

std::string TTool::ReadPassword() {
    std::string password;
    if (FEnv.InIsTerminal && FEnv.AskPassword) {
        // Typed, not piped: never show it on the screen.
        password = FEnv.AskPassword("Password: ").value_or("");
    } else if (!std::getline(FEnv.In, password)) {
        password.clear();
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
}

void TTool::Open(ToolDocument& document) {
    ConversionSettings& settings = document.Settings;
    bool prompted = false;
    try {
        document.File = SharedInput(document.Name, FEnv.InFd, SpoolLimit());
        const int handle = document.File ? document.File->Get() : -1;
        PasswordQuestion ask;
        if (!FLine.PasswordFromStdin && FEnv.AskPassword) {
            // As when the window selects a protected file.
            ask = [this, &document, &prompted](const std::exception&) {
                std::optional<std::string> answer = FEnv.AskPassword(
                    "Password for " + Printable(TConsole::Label(document.Name)) + ": ");
                prompted = answer.has_value();
                return answer;
            };
        }
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

std::optional<PageList> TTool::List(const ToolDocument& document, const NoticeFunction& notice) {
    const ConversionSettings& settings = document.Settings;
    return BuildPageList(settings.ConvertMethod, settings.PageSelection, document.PageCount,
                         notice);
}

bool TTool::NamesCollide() {
    std::vector<PageList> lists;
    std::vector<const ToolDocument*> planned;
    lists.reserve(FDocuments.size());
    for (const ToolDocument& document : FDocuments) {
        if (document.Code != kExitOk || FDocuments.size() < 2) {
            continue;
        }
        try {
            // A list that cannot be built fails its run before any file is written.
            if (auto pages = List(document, [](const std::string&) {})) {
                lists.push_back(std::move(*pages));
                planned.push_back(&document);
            }
        } catch (const std::exception&) {
        }
    }
    std::vector<DocumentNames> names;
    for (std::size_t i = 0; i < planned.size(); ++i) {
        names.push_back({&lists[i], planned[i]->PageCount, &planned[i]->Settings});
    }
    const std::optional<SharedFile> shared = FindSharedFile(names);
    if (!shared) {
        return false;
    }
    const std::string message = TConsole::Label(planned[shared->First]->Name) + " and " +
                                TConsole::Label(planned[shared->Second]->Name) +
                                " would both write \"" + shared->Path +
                                "\"; nothing was written: give them different --base names "
                                "or --output-dir folders";
    FConsole.Failure({}, message);
    FConsole.Record(JsonObject()
                        .Add("type", "error")
                        .Add("exit", static_cast<int>(kExitUsage))
                        .Add("message", message)
                        .Add("written", std::int64_t{0}));
    return true;
}

void TTool::DryRun() {
    EntryPlan total;
    bool listed = false;
    bool namesNoPage = false;
    const bool several = FDocuments.size() > 1;
    for (ToolDocument& document : FDocuments) {
        if (document.Code != kExitOk) {
            continue;
        }
        if (several && !FConsole.Json()) {
            FEnv.Out << Printable(TConsole::Label(document.Name)) << ":\n";
        }
        // The list is built here once, with its notices, to plan the entries.
        std::optional<PageList> pages;
        try {
            pages = List(document,
                         [&](const std::string& text) { FConsole.Notice(document.Name, text); });
        } catch (const std::exception& e) {
            Fail(&document, kExitFailed, e.what());
            continue;
        }
        if (!pages) {
            Fail(several ? nullptr : &document, kExitUsage, kInvalidRangeNotice);
            document.Code = kExitUsage;
            if (several) {
                break; // the one selection is empty for every document
            }
            continue;
        }
        listed = true;
        const EntryPlan plan = PlanEntries(*pages, document.PageCount, document.Settings);
        for (const PlannedEntry& entry : plan.Entries) {
            std::string flags;
            if (entry.Page == 0) {
                flags += "  [names no page: the run stops here]";
            }
            if (entry.Repeated) {
                flags += "  [written twice: an earlier entry writes this file]";
            }
            if (FConsole.Json()) {
                FConsole.Record(JsonObject()
                                    .Add("type", "entry")
                                    .Add("document", document.Name)
                                    .Add("index", entry.Index)
                                    .Add("entry", entry.Text)
                                    .Add("page", entry.Page)
                                    .Add("path", entry.Path)
                                    .Add("names_page", entry.Page != 0)
                                    .Add("written_twice", entry.Repeated));
            } else {
                FEnv.Out << Printable(entry.Text) << '\t' << Printable(entry.Path) << flags << '\n';
            }
        }
        if (plan.Unreached() > 0) {
            FConsole.Info(FConsole.Prefix(document.Name) + std::to_string(plan.Unreached()) +
                          " more entries are never reached");
        }
        if (plan.EndsOnFailure()) {
            document.Code = kExitFailed;
            namesNoPage = true;
        }
        total.ListCount += plan.ListCount;
        total.Entries.insert(total.Entries.end(), plan.Entries.begin(), plan.Entries.end());
    }
    if (!listed) {
        return;
    }
    FConsole.Record(JsonObject()
                        .Add("type", "summary")
                        .Add("dry_run", true)
                        .Add("documents", static_cast<std::int64_t>(FDocuments.size()))
                        .Add("entries", total.ListCount)
                        .Add("reached", static_cast<std::int64_t>(total.Entries.size()))
                        .Add("names_no_page", namesNoPage)
                        .Add("exit", Worst()));
    FEnv.Out << std::flush;
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
            RecordPage(document, e);
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
        int signal = 0;
        while (!run.Finished() && (signal = signals.Take()) == 0) {
            pollfd events[] = {{run.EventFd(), POLLIN, 0}, {signals.Fd(), POLLIN, 0}};
            if (poll(events, 2, -1) < 0 && errno != EINTR) {
                throw Error(std::string("Cannot wait for the page workers: ") +
                            std::strerror(errno));
            }
            if (events[1].revents == 0) {
                run.Process();
            }
        }
        if (signal != 0 || (signal = signals.Release()) != 0) {
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
         "Conversion interrupted by " + SignalName(signal) + ": " + std::to_string(Written()) +
             " of " + std::to_string(run.Count()) + " pages written",
         entry);
}

void TTool::RecordPage(ToolDocument& document, const EntryEvent& event) {
    ++document.Written;
    FConsole.Record(JsonObject()
                        .Add("type", "page")
                        .Add("document", document.Name)
                        .Add("index", event.Index)
                        .Add("entry", event.Text)
                        .Add("page", ParsePageNumber(event.Text))
                        .Add("path", event.Path)
                        .Add("bytes", event.Bytes)
                        .Add("ms", event.Milliseconds));
}

std::int64_t TTool::Written() const {
    std::int64_t written = 0;
    for (const ToolDocument& document : FDocuments) {
        written += document.Written;
    }
    return written;
}

int TTool::Worst() const {
    int worst = kExitOk;
    for (const ToolDocument& document : FDocuments) {
        worst = std::max(worst, document.Code);
    }
    return worst;
}

int TTool::Complete() {
    // One document's failure is its error record; several end with a summary of all.
    if (FDocuments.size() == 1 && Worst() != kExitOk) {
        return Worst();
    }
    std::int64_t failed = 0;
    for (const ToolDocument& document : FDocuments) {
        failed += document.Code != kExitOk ? 1 : 0;
    }
    FConsole.Record(JsonObject()
                        .Add("type", "summary")
                        .Add("status", Worst() == kExitOk ? "complete" : "failed")
                        .Add("written", Written())
                        .Add("documents", static_cast<std::int64_t>(FDocuments.size()))
                        .Add("failed_documents", failed)
                        .Add("jobs", FJobs)
                        .Add("seconds", SecondsSince(FStart))
                        .Add("exit", Worst()));
    return Worst();
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
    const std::string name = document ? document->Name : std::string();
    FConsole.Failure(name, where + text);
    JsonObject record;
    record.Add("type", "error");
    if (document) {
        record.Add("document", name);
    }
    record.Add("exit", code).Add("message", text);
    if (entry) {
        record.Add("index", entry->Index).Add("entry", entry->Text).Add("path", entry->Path);
    }
    FConsole.Record(record.Add("written", document ? document->Written : Written()));
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
