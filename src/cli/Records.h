#pragma once

#include "cli/EntryPlan.h"
#include "cli/Json.h"
#include "conversion/ConversionJob.h"

#include <cstdint>
#include <optional>
#include <string>

namespace folioxa {

// The JSON records of folioxa-convert, one a line on stdout with --json.

// A page's file written: {"type":"page", ...}; or, `skipped`, an entry left out because its file
// exists: {"type":"skipped", ...} without "ms".
JsonObject PageRecord(const std::string& document, const EntryEvent& event, bool skipped = false);

// An entry of the dry run: {"type":"entry", ...}; with --skip-existing, "skipped" says whether
// the run leaves it out.
JsonObject EntryRecord(const std::string& document, const PlannedEntry& entry,
                       std::optional<bool> skipped = std::nullopt);

// A failure, of `document` when not empty, at `entry` when given: {"type":"error", ...}.
// `pageCount`, when not 0, is the document's: the entry named a page beyond it.
JsonObject ErrorRecord(const std::string& document, int code, const std::string& text,
                       const std::optional<PlannedEntry>& entry, std::int64_t written,
                       int pageCount = 0);

// How a call ended, with several documents or after a failure: {"type":"summary", ...}.
struct RunSummary {
    std::int64_t Written = 0;
    std::optional<std::int64_t> Skipped; // with --skip-existing
    std::int64_t Documents = 0;
    std::int64_t FailedDocuments = 0;
    int Jobs = 1;
    double Seconds = 0;
    int Exit = 0;
};
JsonObject SummaryRecord(const RunSummary& summary);

// The dry run's summary.
struct DryRunSummary {
    std::int64_t Documents = 0;
    std::int64_t Entries = 0;
    std::int64_t Reached = 0;
    bool NamesNoPage = false;
    int Exit = 0;
};
JsonObject SummaryRecord(const DryRunSummary& summary);

} // namespace folioxa
