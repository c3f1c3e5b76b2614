#include "support/FakeEngine.h"

namespace folioxa::testing {

std::string FakePdf(const std::vector<std::string>& lines) {
    std::string text = "fake-pdf\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

std::string FakeEngineFolder() {
    return FOLIOXA_FAKE_ENGINE_DIR;
}

} // namespace folioxa::testing
