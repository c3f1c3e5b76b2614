// Build-time helper: the manual page's scdoc source or the bash completion, read from the
// template named on the command line, with the parts made from the option table filled in.
#include "cli/CommandLine.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: folioxa-option-docs TEMPLATE > OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        std::cerr << "folioxa-option-docs: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::cout << folioxa::FillOptionTemplate(text.str());
    return std::cout.flush() ? 0 : 1;
}
