#include "cli/Tool.h"

#include "cli/CommandLine.h"
#include "cli/EntryPlan.h"
#include "cli/Json.h"
#include "cli/TextView.h"
#include "conversion/ConversionJob.h"
#include "conversion/Messages.h"
#include "pdf/PDFium.h"
#include "pool/PooledConversion.h"
#include "pool/SignalPipe.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace folioxa {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Leaves the document inactive with page number 0 on every way out, as the run does.
class TDocumentCloser {
public:
    explicit TDocumentCloser(ConversionDocument& document) : FDocument(document) {}
    TDocumentCloser(const TDocumentCloser&) = delete;
    TDocumentCloser& operator=(const TDocumentCloser&) = delete;
    ~TDocumentCloser() {
        FDocument.SetActive(false);
        FDocument.SetPageNumber(0);
    }

private:
    ConversionDocument& FDocument;
};

int OpenOnce(ConversionDocument& document, const std::string& file, const std::string& password) {
    TDocumentCloser closer(document);
    document.SetFileName(file);
    document.SetPassword(password);
    document.SetActive(true);
    return document.PageCount();
}

// One conversion as the command line asks for it.
class TTool {
public:
    TTool(const CommandLine& line, ToolEnvironment& env)
        : FLine(line), FEnv(env),
          FConsole(env.Out, env.Err, line.Json, line.Quiet, env.ErrIsTerminal),
          FDocument(env.Document), FSettings(SettingsFor(line)) {}

    int Run();

private:
    int Open();
    int DryRun();
    int Convert();
    int Fail(int code, const std::string& message, const std::optional<PlannedEntry>& entry = {},
             std::int64_t count = 0);
    void RecordPage(std::int64_t index, const std::string& text, const std::string& path,
                    std::int64_t bytes, double milliseconds);
    int Complete();
    // Stops `run` for `signal`, says at which entry; returns 128 + signal.
    int Interrupted(TPooledConversion& run, int signal, std::optional<PlannedEntry> current);

    const CommandLine& FLine;
    ToolEnvironment& FEnv;
    TConsole FConsole;
    ConversionDocument& FDocument;
    ConversionSettings FSettings;
    int FPageCount = 0;
    std::int64_t FWritten = 0;
    int FJobs = 1;
    Clock::time_point FStart = Clock::now();
};

int TTool::Run() {
    if (const int code = Open(); code != kExitOk) {
        return code;
    }
    return FLine.DryRun ? DryRun() : Convert();
}

int TTool::Open() {
    if (FLine.PasswordFromStdin && FEnv.InIsTerminal && FEnv.AskPassword) {
        // Typed, not piped: never show it on the screen.
        FSettings.InputPassword = FEnv.AskPassword("Password: ").value_or("");
    } else if (FLine.PasswordFromStdin && !std::getline(FEnv.In, FSettings.InputPassword)) {
        FSettings.InputPassword.clear();
    }
    if (!FSettings.InputPassword.empty() && FSettings.InputPassword.back() == '\r') {
        FSettings.InputPassword.pop_back();
    }
    bool prompted = false;
    try {
        try {
            FPageCount = OpenOnce(FDocument, FSettings.InputFileName, FSettings.InputPassword);
        } catch (const EPasswordError&) {
            // One prompt and one more try, as when the window selects a protected file.
            std::optional<std::string> password;
            if (FLine.PasswordFromStdin || !FEnv.AskPassword ||
                !(password = FEnv.AskPassword("Password for " + Printable(FSettings.InputFileName) +
                                              ": "))) {
                throw;
            }
            FSettings.InputPassword = *password;
            prompted = true;
            FPageCount = OpenOnce(FDocument, FSettings.InputFileName, FSettings.InputPassword);
        }
    } catch (const std::exception& e) {
        const int code = Fail(kExitCannotOpen, e.what());
        if (dynamic_cast<const EPasswordError*>(&e) != nullptr && !FLine.PasswordFromStdin &&
            !prompted) {
            FConsole.Failure("the document is protected: give its password on the first line of "
                             "stdin with --password-stdin");
        }
        return code;
    }
    return kExitOk;
}

int TTool::DryRun() {
    // The list is built here once, with its notices, to plan the entries.
    std::optional<PageList> pages;
    try {
        pages = BuildPageList(FSettings.ConvertMethod, FSettings.PageSelection, FPageCount,
                              [this](const std::string& text) {
                                  if (text != kInvalidRangeNotice) { // reported as the failure
                                      FConsole.Notice(text);
                                  }
                              });
    } catch (const std::exception& e) {
        return Fail(kExitFailed, e.what());
    }
    if (!pages) {
        return Fail(kExitUsage, kInvalidRangeNotice);
    }
    const EntryPlan plan = PlanEntries(*pages, FPageCount, FSettings);
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
        FConsole.Info(std::to_string(plan.Unreached()) + " more entries are never reached");
    }
    FConsole.Record(JsonObject()
                        .Add("type", "summary")
                        .Add("dry_run", true)
                        .Add("entries", plan.ListCount)
                        .Add("reached", static_cast<std::int64_t>(plan.Entries.size()))
                        .Add("names_no_page", plan.EndsOnFailure()));
    FEnv.Out << std::flush;
    return plan.EndsOnFailure() ? kExitFailed : kExitOk;
}

int TTool::Convert() {
    TTextView view(FConsole);
    std::optional<PlannedEntry> current;
    RunObserver observer;
    std::int64_t count = 0;
    observer.OnEntryStarted = [&](const EntryEvent& e) {
        current = PlannedEntry{e.Index, e.Text, e.Path, 0, false};
        view.ShowEntry(e.Path);
    };
    observer.OnEntryWritten = [&](const EntryEvent& e) {
        current.reset();
        RecordPage(e.Index, e.Text, e.Path, e.Bytes, e.Milliseconds);
    };
    PoolOptions options;
    options.Workers = FLine.Jobs;
    options.WorkerPath = FEnv.WorkerPath;
    options.PageTimeoutSeconds = FLine.PageTimeout;
    options.MemoryLimit = static_cast<std::uint64_t>(FLine.MemoryLimitMb) << 20;
    try {
        // Caught from before the run starts, so that no signal ends it with a file half written.
        TSignalPipe signals;
        TPooledConversion run(FSettings, FDocument, view, options, observer);
        FJobs = run.WorkerCount();
        count = run.Count();
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
            return Interrupted(run, signal, current);
        }
    } catch (const EOpenError& e) {
        return Fail(kExitCannotOpen, e.what());
    } catch (const std::exception& e) {
        return Fail(kExitFailed, e.what(), current, count);
    }
    if (view.SelectionEmpty()) {
        return Fail(kExitUsage, kInvalidRangeNotice);
    }
    return Complete();
}

int TTool::Interrupted(TPooledConversion& run, int signal, std::optional<PlannedEntry> current) {
    // The entry being drawn when no file of its own was begun yet.
    if (!current && run.Written() < run.Count()) {
        const std::string text = run.EntryText(run.Written());
        current = PlannedEntry{run.Written(), text, run.PathOf(text), 0, false};
    }
    // The workers end and the file half written goes before anything is said.
    run.Stop();
    return Fail(128 + signal,
                "Conversion interrupted by " + SignalName(signal) + ": " +
                    std::to_string(FWritten) + " of " + std::to_string(run.Count()) +
                    " pages written",
                current, run.Count());
}

void TTool::RecordPage(std::int64_t index, const std::string& text, const std::string& path,
                       std::int64_t bytes, double milliseconds) {
    ++FWritten;
    FConsole.Record(JsonObject()
                        .Add("type", "page")
                        .Add("index", index)
                        .Add("entry", text)
                        .Add("page", ParsePageNumber(text))
                        .Add("path", path)
                        .Add("bytes", bytes)
                        .Add("ms", milliseconds));
}

int TTool::Complete() {
    FConsole.Record(JsonObject()
                        .Add("type", "summary")
                        .Add("status", "complete")
                        .Add("written", FWritten)
                        .Add("jobs", FJobs)
                        .Add("seconds", SecondsSince(FStart)));
    return kExitOk;
}

int TTool::Fail(int code, const std::string& message, const std::optional<PlannedEntry>& entry,
                std::int64_t count) {
    const std::string text = DisplayText(message);
    std::string where;
    if (entry) {
        where = "entry \"" + entry->Text + "\" (" + std::to_string(entry->Index + 1) +
                (count > 0 ? " of " + std::to_string(count) : "") + "): ";
    }
    FConsole.Failure(where + text);
    JsonObject record;
    record.Add("type", "error").Add("exit", code).Add("message", text);
    if (entry) {
        record.Add("index", entry->Index).Add("entry", entry->Text).Add("path", entry->Path);
    }
    FConsole.Record(record.Add("written", FWritten));
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
