#pragma once

#include "conversion/ConversionSettings.h"
#include "conversion/PageSelection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace folioxa {

// One entry of a page list as a run would meet it.
struct PlannedEntry {
    std::int64_t Index = 0;
    std::string Text;
    std::string Path;
    std::int32_t Page = 0; // the page it names; 0 when it names none
    bool Repeated = false; // an earlier entry writes the same file
};

// The entries a run reaches, in list order: every entry up to and including the first one that
// names no page of the document (the run ends there), each with its output file.
struct EntryPlan {
    std::vector<PlannedEntry> Entries;
    std::int64_t ListCount = 0; // entries in the whole list
    bool EndsOnFailure() const { return !Entries.empty() && Entries.back().Page == 0; }
    std::int64_t Unreached() const { return ListCount - static_cast<std::int64_t>(Entries.size()); }
    bool HasRepeats() const;
};

// Plans `pages` for a document of `pageCount` pages with the file names of `settings`.
// Memory grows with the entries up to the first that names no page, never past it.
EntryPlan PlanEntries(const PageList& pages, std::int32_t pageCount,
                      const ConversionSettings& settings);

// A document as the name plan of several sees it: its list, its page count and its settings
// (file names), none owned.
struct DocumentNames {
    const PageList* Pages = nullptr;
    std::int32_t PageCount = 0;
    const ConversionSettings* Settings = nullptr;
};

// A file that the runs of two documents both write.
struct SharedFile {
    std::size_t First = 0; // the documents' positions, First < Second
    std::size_t Second = 0;
    std::string Path; // as the second document's run names it
};

// The first file the runs of `documents` (in their order, each up to its first entry that names
// no page, which writes nothing) would write that an earlier one writes too: the earliest entry of
// the earliest document that meets one. Paths are compared with their folders resolved
// ("a/../x_1.jpg" is "x_1.jpg", symbolic links followed). Memory grows with the documents and the
// items of their selections, never with the entries a range spans.
std::optional<SharedFile> FindSharedFile(const std::vector<DocumentNames>& documents);

} // namespace folioxa
