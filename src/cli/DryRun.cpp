#include "cli/DryRun.h"

#include "base/Printable.h"
#include "cli/Records.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "imaging/OutputFile.h"

namespace folioxa {

void DryRun(std::vector<ToolDocument>& documents, TConsole& console, std::ostream& out,
            const ToolFailure& fail) {
    DryRunSummary summary;
    summary.Documents = static_cast<std::int64_t>(documents.size());
    bool listed = false;
    const bool several = documents.size() > 1;
    for (ToolDocument& document : documents) {
        if (document.Code != kExitOk) {
            continue;
        }
        if (several && !console.Json()) {
            out << Printable(TConsole::Label(document.Name)) << ":\n";
        }
        // The list is built here once, with its notices, to plan the entries.
        std::optional<PageList> pages;
        try {
            pages = ListPages(
                document, [&](const std::string& text) { console.Notice(document.Name, text); });
        } catch (const std::exception& e) {
            fail(&document, kExitFailed, e.what());
            continue;
        }
        if (!pages) {
            fail(several ? nullptr : &document, kExitUsage, kInvalidRangeNotice);
            document.Code = kExitUsage;
            if (several) {
                break; // the one selection is empty for every document
            }
            continue;
        }
        listed = true;
        const EntryPlan plan = PlanEntries(*pages, document.PageCount, document.Settings);
        const ConversionSettings& settings = document.Settings;
        const OutputFolder folder(
            OutputFolderPath(settings.DestinationFolder, settings.BaseFileName));
        for (const PlannedEntry& entry : plan.Entries) {
            // As the run decides it: the file is there, or an earlier entry writes it.
            const bool resumed = settings.SkipExisting && entry.Page != 0;
            const bool exists = resumed && folder.HoldsFile(folder.NameOf(entry.Path));
            const bool skipped = exists || (resumed && entry.Repeated);
            if (console.Json()) {
                console.Record(
                    EntryRecord(document.Name, entry,
                                settings.SkipExisting ? std::optional(skipped) : std::nullopt));
                continue;
            }
            out << Printable(entry.Text) << '\t' << Printable(entry.Path);
            if (entry.Page == 0) {
                out << "  [names no page: the run stops here]";
            }
            if (exists) {
                out << "  [exists: skipped]";
            } else if (entry.Repeated) {
                out << (skipped ? "  [skipped: an earlier entry writes this file]"
                                : "  [written twice: an earlier entry writes this file]");
            }
            out << '\n';
        }
        if (plan.Unreached() > 0) {
            console.Info(console.Prefix(document.Name) + std::to_string(plan.Unreached()) +
                         " more entries are never reached");
        }
        if (plan.EndsOnFailure()) {
            document.Code = kExitFailed;
            summary.NamesNoPage = true;
        }
        summary.Entries += plan.ListCount;
        summary.Reached += static_cast<std::int64_t>(plan.Entries.size());
    }
    if (!listed) {
        return;
    }
    summary.Exit = WorstCode(documents);
    console.Record(SummaryRecord(summary));
    out << std::flush;
}

} // namespace folioxa
