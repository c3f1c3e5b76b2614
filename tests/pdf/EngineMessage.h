#pragma once

#include "pdf/PdfEngine.h"

#include <functional>
#include <string>

namespace folioxa::testing {

// The message of the EPdfError a step throws, or "(no EPdfError)".
inline std::string MessageOf(const std::function<void()>& step) {
    try {
        step();
    } catch (const EPdfError& error) {
        return error.what();
    }
    return "(no EPdfError)";
}

} // namespace folioxa::testing
