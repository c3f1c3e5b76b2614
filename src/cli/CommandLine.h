#pragma once

#include "conversion/ConversionSettings.h"
#include "imaging/Error.h"

#include <string>
#include <vector>

namespace folioxa {

// The command line could not be understood; the tool ends with exit code 2.
class EUsageError : public Error {
public:
    using Error::Error;
};

enum class ToolMode { Convert, Help, Version };

// What one invocation of folioxa-convert asks for, after defaults were filled in.
struct CommandLine {
    ToolMode Mode = ToolMode::Convert;
    std::string InputFile;
    folioxa::ConvertMethod ConvertMethod = cmAllPages;
    std::string PageSelection;
    std::string ImageType = "JPG"; // always one of the exact names "JPG", "PNG", "BMP"
    std::int32_t Resolution = 300; // 1 to 2400
    std::string OutputDirectory;   // ends with "/" unless empty (the working folder)
    std::string BaseFileName;
    bool PasswordFromStdin = false;
    int Jobs = 1;           // worker processes; at least 1
    double PageTimeout = 0; // seconds an entry may take; 0: no limit
    int MemoryLimitMb = 0;  // each worker's memory; 0: the pool's default share
    bool DryRun = false;
    bool Json = false;
    bool Quiet = false;
};

// Parses the arguments after the program name. `onlineCores` is the default of --jobs.
// Throws EUsageError with a one-line reason.
CommandLine ParseCommandLine(const std::vector<std::string>& args, int onlineCores);

// The run's settings for `line`; the password is filled in by the caller.
ConversionSettings SettingsFor(const CommandLine& line);

std::string HelpText();
// The version and, on a second line, what the page workers' sandbox holds on this machine.
std::string VersionText();

} // namespace folioxa
