// Feeds every committed seed and every kept fuzz finding of one harness to that harness, so the
// ordinary test run (and the sanitizer run) checks the same invariants the fuzzer does. A broken
// invariant aborts the test process: ctest names the input.
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace folioxa {

// The harness's folders of seeds and of kept findings: this file is compiled once for every
// harness, each replay executable names its own folders in a small generated source.
extern const char* const kReplayCorpus;
extern const char* const kReplayRegressions;

namespace {

std::vector<std::string> InputFiles() {
    std::vector<std::string> files;
    for (const char* dir : {kReplayCorpus, kReplayRegressions}) {
        if (!std::filesystem::is_directory(dir)) {
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path().string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, KeepsEveryInvariant) {
    const std::string bytes = testing::ReadFile(GetParam());
    EXPECT_EQ(
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
        0);
}

TEST(FuzzReplayInputs, AreThere) {
    EXPECT_FALSE(InputFiles().empty()) << kReplayCorpus;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
    const std::filesystem::path path(info.param);
    std::string name = path.parent_path().filename().string() + "_" + path.filename().string();
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzReplay, ::testing::ValuesIn(InputFiles()), TestName);

} // namespace
} // namespace folioxa
