#pragma once

#include <string>

namespace folioxa::testing {

// The path of `name` ("real/text_tracemonkey.pdf") in the shared corpus of real and damaged PDFs,
// which is used in place and never copied into the repository: FOLIOXA_CORPUS_DIR, else the folder
// the build was configured with (../shared/corpus beside the repository). Empty when the file is
// not there: a test then skips with CorpusMissing(name), one line saying what it needs and where.
std::string CorpusFile(const std::string& name);
std::string CorpusMissing(const std::string& name);

} // namespace folioxa::testing
