// folioxa-convert: the command-line converter on the window's conversion run.
#include "cli/Terminal.h"
#include "cli/Tool.h"
#include "conversion/FileImageOutput.h"
#include "pdf/PDFium.h"
#include "pdf/PdfTimer.h"

#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>

namespace {

// This program's own file, so that workers run under its name (through /proc/self/exe they
// would show as "exe" in ps and top).
std::string ExecutablePath() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "/proc/self/exe" : path.string();
}

} // namespace

int main(int argc, char** argv) {
    using namespace folioxa;
    // Page bitmaps of tens of megabytes would each get fresh pages from the system (mmap), which
    // the kernel faults in and zeroes anew for every page; kept in the heap they are reused.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    // A closed stdout or worker pipe must end in a write error we report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    // No event loop here: the engine's form-fill timer never fires, as the engine allows.
    NullPdfTimer timer;
    TPdf document("Pdf", &timer);
    FileImageOutput output;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    ToolEnvironment env{.Out = std::cout,
                        .Err = std::cerr,
                        .In = std::cin,
                        .InIsTerminal = isatty(STDIN_FILENO) != 0,
                        .ErrIsTerminal = isatty(STDERR_FILENO) != 0,
                        .AskPassword = AskPasswordOnTerminal,
                        .Document = document,
                        .Output = output,
                        .Executable = ExecutablePath(),
                        .OnlineCores = cores > 0 ? static_cast<int>(cores) : 1};
    return RunTool(std::vector<std::string>(argv + 1, argv + argc), env);
}
