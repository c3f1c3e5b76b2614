#include "cli/CommandLine.h"

#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "conversion/PageSelection.h"
#include "sandbox/Sandbox.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>

#ifndef FOLIOXA_VERSION
#error "FOLIOXA_VERSION must come from the build (the project's version)"
#endif

namespace folioxa {

namespace {

constexpr int kMaxJobs = 256;
constexpr std::int32_t kMaxResolution = 2400;
// Below this the engine itself hardly fits beside a page; above it (16 TiB) no machine has it.
constexpr int kMinMemoryLimitMb = 64;
constexpr int kMaxMemoryLimitMb = 1 << 24;

struct OptionSpec {
    char Short; // 0: long form only
    std::string Long;
    bool TakesValue;
    std::function<void(CommandLine&, const std::string&)> Apply;
};

std::string ImageTypeName(const std::string& value) {
    std::string upper = value;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper == "JPG" || upper == "PNG" || upper == "BMP") {
        return upper;
    }
    throw EUsageError("unknown image type '" + value + "' (JPG, PNG or BMP)");
}

std::int32_t Resolution(const std::string& value) {
    std::int32_t dpi = 0;
    try {
        // The window reads its resolution with the same rule.
        dpi = ParsePageNumber(value);
    } catch (const EConvertError& e) {
        throw EUsageError("--dpi: " + DisplayText(e.what()));
    }
    if (dpi < 1 || dpi > kMaxResolution) {
        throw EUsageError("--dpi: " + value + " is outside 1 to " + std::to_string(kMaxResolution));
    }
    return dpi;
}

int WholeNumber(const std::string& option, const std::string& value, int min, int max) {
    int number = 0;
    const char* end = value.data() + value.size();
    const auto [rest, error] = std::from_chars(value.data(), end, number);
    if (value.empty() || error != std::errc() || rest != end || number < min || number > max) {
        throw EUsageError(option + ": '" + value + "' is not a whole number from " +
                          std::to_string(min) + " to " + std::to_string(max));
    }
    return number;
}

const std::vector<OptionSpec>& Options() {
    static const std::vector<OptionSpec> options = {
        {'p', "pages", true,
         [](CommandLine& l, const std::string& v) {
             l.ConvertMethod = cmPageSelection;
             l.PageSelection = v;
         }},
        {'t', "type", true,
         [](CommandLine& l, const std::string& v) { l.ImageType = ImageTypeName(v); }},
        {'r', "dpi", true,
         [](CommandLine& l, const std::string& v) { l.Resolution = Resolution(v); }},
        {'o', "output-dir", true,
         [](CommandLine& l, const std::string& v) {
             l.OutputDirectory = v.empty() || v.back() == '/' ? v : v + "/";
         }},
        {'b', "base", true, [](CommandLine& l, const std::string& v) { l.BaseFileName = v; }},
        {'j', "jobs", true,
         [](CommandLine& l, const std::string& v) {
             l.Jobs = WholeNumber("--jobs", v, 1, kMaxJobs);
         }},
        {0, "page-timeout", true,
         [](CommandLine& l, const std::string& v) {
             l.PageTimeout = WholeNumber("--page-timeout", v, 1, 24 * 3600);
         }},
        {0, "memory-limit", true,
         [](CommandLine& l, const std::string& v) {
             l.MemoryLimitMb =
                 WholeNumber("--memory-limit", v, kMinMemoryLimitMb, kMaxMemoryLimitMb);
         }},
        {0, "password-stdin", false,
         [](CommandLine& l, const std::string&) { l.PasswordFromStdin = true; }},
        {0, "dry-run", false, [](CommandLine& l, const std::string&) { l.DryRun = true; }},
        {0, "json", false, [](CommandLine& l, const std::string&) { l.Json = true; }},
        {'q', "quiet", false, [](CommandLine& l, const std::string&) { l.Quiet = true; }},
        {'h', "help", false, [](CommandLine& l, const std::string&) { l.Mode = ToolMode::Help; }},
        {0, "version", false,
         [](CommandLine& l, const std::string&) { l.Mode = ToolMode::Version; }},
    };
    return options;
}

const OptionSpec* FindLong(const std::string& name) {
    for (const auto& option : Options()) {
        if (option.Long == name) {
            return &option;
        }
    }
    return nullptr;
}

const OptionSpec* FindShort(char name) {
    for (const auto& option : Options()) {
        if (option.Short != 0 && option.Short == name) {
            return &option;
        }
    }
    return nullptr;
}

bool NamesPassword(const std::string& name) {
    return name == "password" || name == "passwd" || name == "pass" || name == "P";
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, int onlineCores) {
    CommandLine line;
    line.Jobs = std::clamp(onlineCores, 1, kMaxJobs);
    std::vector<std::string> files;
    bool optionsEnded = false;
    bool outputGiven = false;
    bool baseGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const bool isLong = arg[1] == '-';
        const std::size_t equals = isLong ? arg.find('=') : std::string::npos;
        const std::string name = isLong ? arg.substr(2, equals - 2) : arg.substr(1, 1);
        if (NamesPassword(name)) {
            throw EUsageError("a password is never taken on the command line, where other users "
                              "can read it: use --password-stdin");
        }
        const OptionSpec* option = isLong ? FindLong(name) : FindShort(arg[1]);
        const std::string shown = isLong ? "--" + name : "-" + name;
        if (option == nullptr) {
            throw EUsageError("unknown option '" + shown + "'");
        }
        std::string value;
        if (option->TakesValue) {
            if (isLong && equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (!isLong && arg.size() > 2) {
                value = arg.substr(2); // -r150
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw EUsageError("option '" + shown + "' needs a value");
            }
        } else if ((isLong && equals != std::string::npos) || (!isLong && arg.size() > 2)) {
            throw EUsageError("option '" + shown + "' takes no value");
        }
        option->Apply(line, value);
        outputGiven = outputGiven || option->Long == "output-dir";
        baseGiven = baseGiven || option->Long == "base";
    }
    if (line.Mode == ToolMode::Help || line.Mode == ToolMode::Version) {
        return line;
    }
    if (files.size() != 1) {
        throw EUsageError(files.empty() ? "no PDF file given"
                                        : "one PDF file at a time (got " +
                                              std::to_string(files.size()) + ")");
    }
    line.InputFile = files.front();
    if (!outputGiven) {
        line.OutputDirectory = DefaultDestinationFolder(line.InputFile);
    }
    if (!baseGiven) {
        line.BaseFileName = DefaultBaseFileName(line.InputFile);
    }
    return line;
}

ConversionSettings SettingsFor(const CommandLine& line) {
    ConversionSettings settings;
    settings.InputFileName = line.InputFile;
    settings.ConvertMethod = line.ConvertMethod;
    settings.PageSelection = line.PageSelection;
    settings.ImageType = line.ImageType;
    settings.Resolution = line.Resolution;
    settings.BaseFileName = line.BaseFileName;
    settings.DestinationFolder = line.OutputDirectory;
    return settings;
}

std::string VersionText() {
    return std::string("folioxa-convert ") + FOLIOXA_VERSION + "\n" +
           DescribeSandbox(ProbeSandbox()) + "\n";
}

std::string HelpText() {
    return R"(Usage: folioxa-convert [options] FILE.pdf

Turns the pages of a PDF file into image files named
FOLDER/BASE + page number padded to the page count's digits + .jpg/.png/.bmp,
exactly as the Folioxa window does.

Options:
  -p, --pages SELECTION  pages to convert, e.g. 1-4,6,9-10 (default: all pages);
                         reversed ranges such as 5-3 are reported and skipped
  -t, --type TYPE        JPG, PNG or BMP, any letter case (default: JPG)
  -r, --dpi N            resolution, a whole number from 1 to 2400 (default: 300)
  -o, --output-dir DIR   folder of the image files (default: the PDF's own folder);
                         it must exist
  -b, --base NAME        first part of every file name (default: the PDF's name
                         without ".pdf", then "_": report.pdf gives report_)
      --password-stdin   read the document's password from the first line of stdin;
                         without it a protected document asks for its password on
                         the terminal (never give a password on the command line)
  -j, --jobs N           pages drawn at once by N worker processes
                         (default: the number of online cores)
      --page-timeout S   end the run when one page takes longer than S seconds
                         (default: no limit)
      --memory-limit MB  memory each worker may take, from 64 to 16777216; a page
                         that needs more fails with a message naming it (default:
                         the memory available at the start shared among the workers)
      --dry-run          open the document and list each entry with its output
                         file, flagging entries that name no page and files written
                         twice; write nothing (exit 1 when an entry names no page)
      --json             one JSON object per line on stdout: one per page written
                         (page, path, bytes, ms), notices, and a final summary or error
  -q, --quiet            print nothing but failures
  -h, --help             this text
      --version          the program's version, and what the page workers' sandbox
                         holds on this machine

A progress line is shown on stderr when stderr is a terminal.

Pages are drawn by worker processes, each with its own engine, and this program
writes every file itself in list order, so the files are the same, byte for
byte, at any --jobs. When a page fails, every entry before it has been written
and none after it. A page whose engine crashes ends the run with a message
naming it. The workers run sandboxed: they can read only the engine and its
fonts, and write, connect or start nothing.

Exit status:
  0  every page was written
  1  the conversion failed (the message is on stderr)
  2  usage error: bad option or value, or an empty page selection
  3  the document could not be opened (missing, not a PDF, wrong or missing password)
  128 + N  ended by signal N (SIGINT, SIGTERM, SIGHUP): the page being written is
     dropped, an older file of its name stays, and the message names the entry
)";
}

} // namespace folioxa
