#pragma once

#include "cli/ToolDocument.h"

#include <optional>
#include <string>
#include <vector>

namespace folioxa {

// With several documents: the message when two of them (those not failed yet, each list as its
// settings select it) would write the same file, which ends the call before anything is
// written; nothing when each writes files of its own.
std::optional<std::string> SharedFileMessage(const std::vector<ToolDocument>& documents);

} // namespace folioxa
