#include "cli/Records.h"

#include "conversion/PageSelection.h"

namespace folioxa {

JsonObject PageRecord(const std::string& document, const EntryEvent& event, bool skipped) {
    JsonObject record;
    record.Add("type", skipped ? "skipped" : "page")
        .Add("document", document)
        .Add("index", event.Index)
        .Add("entry", event.Text)
        .Add("page", ParsePageNumber(event.Text))
        .Add("path", event.Path)
        .Add("bytes", event.Bytes);
    return skipped ? record : record.Add("ms", event.Milliseconds);
}

JsonObject EntryRecord(const std::string& document, const PlannedEntry& entry,
                       std::optional<bool> skipped) {
    JsonObject record;
    record.Add("type", "entry")
        .Add("document", document)
        .Add("index", entry.Index)
        .Add("entry", entry.Text)
        .Add("page", entry.Page)
        .Add("path", entry.Path)
        .Add("names_page", entry.Page != 0)
        .Add("written_twice", entry.Repeated);
    return skipped ? record.Add("skipped", *skipped) : record;
}

JsonObject ErrorRecord(const std::string& document, int code, const std::string& text,
                       const std::optional<PlannedEntry>& entry, std::int64_t written,
                       int pageCount) {
    JsonObject record;
    record.Add("type", "error");
    if (!document.empty()) {
        record.Add("document", document);
    }
    record.Add("exit", code).Add("message", text);
    if (entry) {
        record.Add("index", entry->Index).Add("entry", entry->Text).Add("path", entry->Path);
    }
    if (pageCount != 0) {
        record.Add("page_count", pageCount);
    }
    return record.Add("written", written);
}

JsonObject SummaryRecord(const RunSummary& summary) {
    JsonObject record;
    record.Add("type", "summary")
        .Add("status", summary.Exit == 0 ? "complete" : "failed")
        .Add("written", summary.Written);
    if (summary.Skipped) {
        record.Add("skipped", *summary.Skipped);
    }
    return record.Add("documents", summary.Documents)
        .Add("failed_documents", summary.FailedDocuments)
        .Add("jobs", summary.Jobs)
        .Add("seconds", summary.Seconds)
        .Add("exit", summary.Exit);
}

JsonObject SummaryRecord(const DryRunSummary& summary) {
    return JsonObject()
        .Add("type", "summary")
        .Add("dry_run", true)
        .Add("documents", summary.Documents)
        .Add("entries", summary.Entries)
        .Add("reached", summary.Reached)
        .Add("names_no_page", summary.NamesNoPage)
        .Add("exit", summary.Exit);
}

} // namespace folioxa
