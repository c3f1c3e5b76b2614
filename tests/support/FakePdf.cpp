#include "support/FakeEngine.h"
#include "support/HostileEngine.h"
#include "support/ImageFiles.h"

#include <algorithm>
#include <cstring>

extern char** environ;

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

std::string HostileEngineFolder() {
    return FOLIOXA_HOSTILE_ENGINE_DIR;
}

std::vector<std::string> FakeEngineEnvironment() {
    return EngineEnvironment(FakeEngineFolder());
}

std::vector<std::string> HostileEngineEnvironment() {
    return EngineEnvironment(HostileEngineFolder());
}

std::vector<std::string> EngineEnvironment(const std::string& folder) {
    std::string path = "LD_LIBRARY_PATH=" + folder;
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "LD_LIBRARY_PATH=", 16) == 0) {
            path += ":" + std::string(*variable + 16);
        } else {
            environment.emplace_back(*variable);
        }
    }
    environment.push_back(path);
    return environment;
}

bool IsFakePage(const std::string& png, int page) {
    DecodedImage image;
    try {
        image = DecodePng(png);
    } catch (const std::exception&) {
        return false;
    }
    const std::uint32_t rgb = FakePageRgb(page);
    for (std::size_t i = 0; i + 2 < image.Rgb.size(); i += 3) {
        if ((std::uint32_t{image.Rgb[i]} << 16 | std::uint32_t{image.Rgb[i + 1]} << 8 |
             image.Rgb[i + 2]) != rgb) {
            return false;
        }
    }
    return !image.Rgb.empty();
}

} // namespace folioxa::testing
