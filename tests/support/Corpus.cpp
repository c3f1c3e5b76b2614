#include "support/Corpus.h"

#include <cstdlib>
#include <filesystem>

namespace folioxa::testing {
namespace {

std::filesystem::path CorpusDir() {
    const char* dir = std::getenv("FOLIOXA_CORPUS_DIR");
    return dir != nullptr && *dir != '\0' ? dir : FOLIOXA_DEFAULT_CORPUS_DIR;
}

} // namespace

std::string CorpusFile(const std::string& name) {
    const std::filesystem::path path = CorpusDir() / name;
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) ? path.string() : std::string();
}

std::string CorpusMissing(const std::string& name) {
    return "needs " + name + " of the shared corpus, not found in " + CorpusDir().string() +
           " (set FOLIOXA_CORPUS_DIR, or put the corpus in ../shared/corpus beside the repository)";
}

} // namespace folioxa::testing
