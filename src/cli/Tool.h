#pragma once

#include "pool/WorkerDocument.h"

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace folioxa {

// The tool's exit codes; with several documents the largest of theirs. A run ended by SIGINT,
// SIGTERM or SIGHUP returns 128 + the signal.
enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitCannotOpen = 3 };

// What folioxa-convert works with; main fills it with the real streams and document.
struct ToolEnvironment {
    std::ostream& Out;
    std::ostream& Err;
    std::istream& In;
    int InFd = 0;               // what "-" reads the PDF from
    bool InIsTerminal = false;  // --password-stdin then reads with the echo off
    bool ErrIsTerminal = false; // shows the progress line
    // Asks for the document's password with the echo off; nothing when there is no terminal.
    std::function<std::optional<std::string>(const std::string& prompt)> AskPassword;
    TWorkerDocument& Document; // opened by the page workers
    int OnlineCores = 1;
    std::string WorkerPath; // the page workers' program; empty: the one beside this program
};

// Runs folioxa-convert with the arguments after the program name; returns the exit code.
int RunTool(const std::vector<std::string>& args, ToolEnvironment& env);

} // namespace folioxa
