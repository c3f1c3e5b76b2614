#pragma once

#include "base/FileDescriptor.h"
#include "cli/EntryPlan.h"
#include "cli/TextView.h"
#include "cli/Tool.h"
#include "conversion/ConversionSettings.h"
#include "conversion/PageSelection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace folioxa {

// One document of a folioxa-convert call, from its opening to its exit code.
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

// How a part of the call reports a document's failure (null: the call's), with its exit code.
using ToolFailure = std::function<void(ToolDocument* document, int code, const std::string& text)>;

// The document's page list as its settings select it, its notices through `notice`. Throws
// what BuildPageList throws.
std::optional<PageList> ListPages(const ToolDocument& document, const NoticeFunction& notice);

// The largest exit code of the documents.
int WorstCode(const std::vector<ToolDocument>& documents);

// Pages written over all documents.
std::int64_t WrittenPages(const std::vector<ToolDocument>& documents);

} // namespace folioxa
