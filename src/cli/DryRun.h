#pragma once

#include "cli/ToolDocument.h"

#include <ostream>
#include <vector>

namespace folioxa {

// --dry-run: lists each entry of each document (not failed yet) with the file it would write,
// on `out` (or as JSON records), flagging entries that name no page and files written twice;
// ends with the summary record. A document whose run would fail gets its exit code; its failure
// goes through `fail`. Writes no file.
void DryRun(std::vector<ToolDocument>& documents, TConsole& console, std::ostream& out,
            const ToolFailure& fail);

} // namespace folioxa
