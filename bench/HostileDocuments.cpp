// hostile_documents DIR: writes what bench/documents converts: DIR/many/d0.pdf ... d9999.pdf
// (one small page each), DIR/large-1.pdf and DIR/large-2.pdf (two copies of one document of
// 100000 small pages) and the tests' memory bombs in DIR/bombs.
#include "support/TestPdf.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

using namespace folioxa::testing;

void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: hostile_documents DIR\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir / "many");
    std::filesystem::create_directories(dir / "bombs");
    TestPage small;
    small.Width = small.Height = 72;
    const std::string one = MakePdf({small});
    for (int i = 0; i < 10000; ++i) {
        Write(dir / "many" / ("d" + std::to_string(i) + ".pdf"), one);
    }
    const std::string large = MakePdf(std::vector<TestPage>(100000, small));
    Write(dir / "large-1.pdf", large);
    Write(dir / "large-2.pdf", large);
    Write(dir / "bombs" / "mutual-forms.pdf", MakeMutualFormsPdf());
    Write(dir / "bombs" / "double-flate.pdf", MakeDoubleFlatePdf(std::uint64_t{8} << 30));
    Write(dir / "bombs" / "form-fan-out.pdf", MakeFormFanOutPdf(8, 16));
    Write(dir / "bombs" / "jbig2.pdf", MakeJbig2BombPdf(46336));
    return 0;
}
