#pragma once

#include "base/Error.h"
#include "conversion/ConversionSettings.h"

#include <optional>
#include <string>
#include <vector>

namespace folioxa {

// The command line could not be understood; the tool ends with exit code 2.
class EUsageError : public Error {
public:
    explicit EUsageError(const std::string& message) : Error(ErrorKind::Usage, message) {}
};

enum class ToolMode { Convert, Help, Version };

// Seconds a page may take by default: generous, five minutes, four times the slowest legitimate
// page seen (a document whose forms take the engine 75 s to set up before its first page), so
// that only a page that would never end is cut short. The window has none: Stop is there.
inline constexpr double kDefaultPageTimeout = 300;

// What one invocation of folioxa-convert asks for.
struct CommandLine {
    ToolMode Mode = ToolMode::Convert;
    std::vector<std::string> InputFiles; // in the order given; "-" is stdin
    // The choices every document shares. Its file, folder and base name are each document's own
    // (SettingsFor).
    ConversionSettings Settings;
    std::optional<std::string>
        OutputDirectory;                     // -o; ends with "/" unless empty (the working folder)
    std::optional<std::string> BaseFileName; // -b
    bool PasswordFromStdin = false;
    int Jobs = 1;                             // worker processes; at least 1
    double PageTimeout = kDefaultPageTimeout; // seconds an entry may take; 0: no limit
    int MemoryLimitMb = 0;                    // each worker's memory; 0: the pool's default share
    bool DryRun = false;
    bool Json = false;
    bool Quiet = false;
};

// Parses the arguments after the program name. `onlineCores` is the default of --jobs.
// Throws EUsageError with a one-line reason.
CommandLine ParseCommandLine(const std::vector<std::string>& args, int onlineCores);

// True for the names that read the document from stdin: "-" and /dev/stdin.
bool ReadsStdin(const std::string& file);

// The run's settings for the document `file` of `line`: the folder and base name given, or the
// document's own (for a document on stdin or another device, "page_" in the working folder).
// The password is filled in by the caller.
ConversionSettings SettingsFor(const CommandLine& line, const std::string& file);

std::string HelpText();
// `text` with the parts made from the option table in place of their markers: "@MANUAL_OPTIONS@"
// (a line: the manual page's option list, in scdoc), "@COMPLETION_CASES@" (a line: the bash
// completion's "case $prev" arms, each setting `kind` to text, folder or words, and `words`) and
// "@COMPLETION_OPTIONS@" (every option name, on one line).
std::string FillOptionTemplate(std::string text);
// The version and, on a second line, what the page workers' sandbox holds on this machine.
std::string VersionText();

} // namespace folioxa
