// folioxa-convert: the command-line converter on the window's conversion run.
#include "base/ProcessStart.h"
#include "cli/Terminal.h"
#include "cli/Tool.h"
#include "pool/RenderPool.h"
#include "pool/SignalPipe.h"
#include "pool/WorkerDocument.h"

#include <unistd.h>

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    using namespace folioxa;
    PrepareProcess();
    // A closed stdout must end in a write error we report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    // A file size limit must fail the page's write ("Stream write error"), which removes its
    // hidden file, not end the process and leave the file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // The engine runs only in the page workers, which open the documents too.
    TWorkerDocument document("Pdf");
    ToolEnvironment env{.Out = std::cout,
                        .Err = std::cerr,
                        .In = std::cin,
                        .InIsTerminal = isatty(STDIN_FILENO) != 0,
                        .ErrIsTerminal = isatty(STDERR_FILENO) != 0,
                        .AskPassword = AskPasswordOnTerminal,
                        .Document = document,
                        .OnlineCores = OnlineCores(),
                        .WorkerPath = {}};
    const int code = RunTool(std::vector<std::string>(argv + 1, argv + argc), env);
    if (code > 128 && code < 128 + NSIG) {
        // Interrupted: the run has cleaned up and said so; now end as the signal would have.
        std::cout.flush();
        EndBySignal(code - 128);
    }
    return code;
}
