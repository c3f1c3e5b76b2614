#pragma once

#include "cli/EntryPlan.h"
#include "cli/Json.h"
#include "conversion/ConversionJob.h"

#include <cstdint>
#include <optional>
#include <string>

namespace folioxa {

// The JSON records of folioxa-convert, one a line on stdout with --json.

// A page's file written: {"type":"page", ...}.
JsonObject PageRecord(const std::string& document, const EntryEvent& event);

// An entry of the dry run: {"type":"entry", ...}.
JsonObject EntryRecord(const std::string& document, const PlannedEntry& entry);

// A failure, of `document` when not empty, at `entry` when given: {"type":"error", ...}.
JsonObject ErrorRecord(const std::string& document, int code, const std::string& text,
                       const std::optional<PlannedEntry>& entry, std::int64_t written);

// How a call ended, with several documents or after a failure: {"type":"summary", ...}.
struct RunSummary {
    std::int64_t Written = 0;
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
