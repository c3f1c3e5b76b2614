#include "cli/CommandLine.h"

#include "conversion/ImageFormats.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "conversion/PageSelection.h"
#include "sandbox/Sandbox.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <sstream>

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
constexpr int kMaxScale = 100000;
constexpr std::size_t kHelpColumn = 25;
constexpr std::size_t kHelpWidth = 80;
constexpr const char* kStdinBaseName = "page_";

// One option: its names, its argument, its line in --help and what it sets. --help, the
// parser and the completion test read these rows; adding an option is a row and a field.
struct OptionRow {
    char Short; // 0: long form only
    std::string Long;
    std::string Argument; // empty: the option takes no value
    std::string Help;
    void (*Apply)(CommandLine&, const std::string&); // null for a whole number of the settings
    std::int32_t ConversionSettings::*Number = nullptr;
    int Min = 0, Max = 0; // of Number
};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string ImageTypeName(const std::string& value) {
    const std::string upper = Upper(value);
    for (const ImageFormat& format : StandardImageFormats().All()) {
        if (format.Name == upper) {
            return upper;
        }
    }
    throw EUsageError("unknown image type '" + value + "' (" + ImageTypeNames() + ")");
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

const std::vector<OptionRow>& Options() {
    static const std::vector<OptionRow> options = {
        {'p', "pages", "SELECTION",
         "pages to convert, e.g. 1-4,6,9-10 (default: all pages); reversed ranges such as 5-3 "
         "are reported and skipped",
         [](CommandLine& l, const std::string& v) {
             l.Settings.ConvertMethod = cmPageSelection;
             l.Settings.PageSelection = v;
         }},
        {'t', "type", "TYPE", ImageTypeNames() + ", any letter case (default: JPG)",
         [](CommandLine& l, const std::string& v) { l.Settings.ImageType = ImageTypeName(v); }},
        {'r', "dpi", "N", "resolution, a whole number from 1 to 2400 (default: 300)",
         [](CommandLine& l, const std::string& v) { l.Settings.Resolution = Resolution(v); }},
        {0, "scale-to", "N",
         "each page's longer side becomes N pixels (1 to 100000), the other side in proportion, "
         "instead of the resolution",
         nullptr, &ConversionSettings::ScaleTo, 1, kMaxScale},
        {0, "scale-to-x", "W",
         "each page becomes W pixels wide; alone, the height follows in proportion", nullptr,
         &ConversionSettings::ScaleToX, 1, kMaxScale},
        {0, "scale-to-y", "H",
         "each page becomes H pixels high; alone, the width follows in proportion; with "
         "--scale-to-x both sides are exact",
         nullptr, &ConversionSettings::ScaleToY, 1, kMaxScale},
        {0, "quality", "N",
         "JPEG quality, a whole number from 1 to 100 (default: 100); lower makes smaller files",
         nullptr, &ConversionSettings::JpegQuality, 1, 100},
        {'o', "output-dir", "DIR",
         "folder of the image files (default: each PDF's own folder), made with its parents "
         "when missing",
         [](CommandLine& l, const std::string& v) {
             l.OutputDirectory = v.empty() || v.back() == '/' ? v : v + "/";
         }},
        {'b', "base", "NAME",
         "first part of every file name (default: the PDF's name without \".pdf\", then \"_\": "
         "report.pdf gives report_)",
         [](CommandLine& l, const std::string& v) { l.BaseFileName = v; }},
        {0, "password-stdin", "",
         "read the password from the first line of stdin, for every document; without it a "
         "protected document asks for its password on the terminal (never give a password on "
         "the command line)",
         [](CommandLine& l, const std::string&) { l.PasswordFromStdin = true; }},
        {'j', "jobs", "N",
         "pages drawn at once by N worker processes (default: the number of online cores)",
         [](CommandLine& l, const std::string& v) {
             l.Jobs = WholeNumber("--jobs", v, 1, kMaxJobs);
         }},
        {0, "page-timeout", "S",
         "end the run when one page takes longer than S seconds; 0: no limit (default: 300)",
         [](CommandLine& l, const std::string& v) {
             l.PageTimeout = WholeNumber("--page-timeout", v, 0, 24 * 3600);
         }},
        {0, "memory-limit", "MB",
         "memory each worker may take, from 64 to 16777216; a page that needs more fails with a "
         "message naming it (default: 512 MB for the engine plus twice the page's pixels, within "
         "the memory available at the start shared among the workers)",
         [](CommandLine& l, const std::string& v) {
             l.MemoryLimitMb =
                 WholeNumber("--memory-limit", v, kMinMemoryLimitMb, kMaxMemoryLimitMb);
         }},
        {0, "dry-run", "",
         "open the documents and list each entry with its output file, flagging entries that "
         "name no page and files written twice; write nothing (exit 1 when an entry names no "
         "page)",
         [](CommandLine& l, const std::string&) { l.DryRun = true; }},
        {0, "json", "",
         "one JSON object per line on stdout: one per page written (document, page, path, "
         "bytes, ms), notices, errors, and a final summary",
         [](CommandLine& l, const std::string&) { l.Json = true; }},
        {'q', "quiet", "", "print nothing but failures",
         [](CommandLine& l, const std::string&) { l.Quiet = true; }},
        {'h', "help", "", "this text",
         [](CommandLine& l, const std::string&) { l.Mode = ToolMode::Help; }},
        {0, "version", "",
         "the program's version, and what the page workers' sandbox holds on this machine",
         [](CommandLine& l, const std::string&) { l.Mode = ToolMode::Version; }},
    };
    return options;
}

const OptionRow* FindLong(const std::string& name) {
    for (const auto& option : Options()) {
        if (option.Long == name) {
            return &option;
        }
    }
    return nullptr;
}

const OptionRow* FindShort(char name) {
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

// The rows as --help lists them: names and argument, then the text from column 25, wrapped.
std::string OptionLines() {
    std::string lines;
    for (const OptionRow& row : Options()) {
        std::string left = row.Short != 0 ? std::string("  -") + row.Short + ", " : "      ";
        left += "--" + row.Long + (row.Argument.empty() ? "" : " " + row.Argument);
        std::string line = left.size() + 2 <= kHelpColumn
                               ? left + std::string(kHelpColumn - left.size(), ' ')
                               : left + "\n" + std::string(kHelpColumn, ' ');
        std::size_t used = kHelpColumn;
        std::istringstream words(row.Help);
        bool first = true;
        for (std::string word; words >> word; first = false) {
            if (!first && used + 1 + word.size() > kHelpWidth) {
                line += "\n" + std::string(kHelpColumn, ' ');
                used = kHelpColumn;
            } else if (!first) {
                line += ' ';
                ++used;
            }
            line += word;
            used += word.size();
        }
        lines += line + "\n";
    }
    return lines;
}

} // namespace

bool ReadsStdin(const std::string& file) {
    return file == "-" || file == "/dev/stdin";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, int onlineCores) {
    CommandLine line;
    line.Jobs = std::clamp(onlineCores, 1, kMaxJobs);
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            line.InputFiles.push_back(arg);
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
        const OptionRow* option = isLong ? FindLong(name) : FindShort(arg[1]);
        const std::string shown = isLong ? "--" + name : "-" + name;
        if (option == nullptr) {
            throw EUsageError("unknown option '" + shown + "'");
        }
        std::string value;
        if (!option->Argument.empty()) {
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
        if (option->Number != nullptr) {
            line.Settings.*option->Number =
                WholeNumber("--" + option->Long, value, option->Min, option->Max);
        } else {
            option->Apply(line, value);
        }
    }
    if (line.Mode == ToolMode::Help || line.Mode == ToolMode::Version) {
        return line;
    }
    if (line.InputFiles.empty()) {
        throw EUsageError("no PDF file given");
    }
    const auto fromStdin =
        std::count_if(line.InputFiles.begin(), line.InputFiles.end(), ReadsStdin);
    if (fromStdin > 1) {
        throw EUsageError("stdin holds one document: '-' (or /dev/stdin) given " +
                          std::to_string(fromStdin) + " times");
    }
    if (fromStdin > 0 && line.PasswordFromStdin) {
        throw EUsageError("--password-stdin cannot read a password from stdin when stdin holds "
                          "the PDF ('-')");
    }
    if (line.Settings.ScaleTo != 0 &&
        (line.Settings.ScaleToX != 0 || line.Settings.ScaleToY != 0)) {
        throw EUsageError("--scale-to sets both sides: give it or --scale-to-x/--scale-to-y");
    }
    return line;
}

ConversionSettings SettingsFor(const CommandLine& line, const std::string& file) {
    ConversionSettings settings = line.Settings;
    settings.InputFileName = file;
    // Stdin or another descriptor or device (/dev/fd/63 from a shell's <(...)) has no folder to
    // write to and no name worth keeping; a file kept in /dev/shm has both.
    std::error_code error;
    const bool device =
        ReadsStdin(file) || ((file.rfind("/dev/", 0) == 0 || file.rfind("/proc/", 0) == 0) &&
                             !std::filesystem::is_regular_file(file, error));
    settings.DestinationFolder =
        line.OutputDirectory.value_or(device ? std::string() : DefaultDestinationFolder(file));
    settings.BaseFileName = line.BaseFileName.value_or(device ? std::string(kStdinBaseName)
                                                              : DefaultBaseFileName(file));
    return settings;
}

std::string VersionText() {
    return std::string("folioxa-convert ") + FOLIOXA_VERSION + "\n" +
           DescribeSandbox(ProbeSandbox()) + "\n";
}

std::string HelpText() {
    return R"(Usage: folioxa-convert [options] FILE.pdf...

Turns the pages of PDF files into image files named
FOLDER/BASE + page number padded to the page count's digits + extension,
exactly as the Folioxa window does.

Options:
)" + OptionLines() +
           R"(
Several documents: each gets the folder and base name it would get alone
(unless -o or -b is given). Two documents that would write files of the same
name, such as one -b for documents in one folder, are refused before anything
is written (exit 2). The pages of all documents are shared out among the
workers. A document that cannot be opened or that fails is reported by its
name and the others go on; the exit status is the worst of theirs. The one line
that --password-stdin reads is tried on every document (an unprotected one
ignores it); without it each protected document asks on the terminal.

stdin: FILE "-" reads the PDF from stdin once (a pipe will do); its files are
named page_1.jpg and so on in the working folder unless -o or -b is given, as
are those of /dev/stdin and of pipes and devices in /dev or /proc. With "-",
the password cannot come from stdin: --password-stdin is refused.

A progress line is shown on stderr when stderr is a terminal.

Pages are drawn by worker processes, each with its own engine, and this program
writes every file itself in list order, so the files are the same, byte for
byte, at any --jobs. When a page fails, every entry of its document before it
has been written and none after it. A page whose engine crashes ends its
document's run with a message naming it. The workers run sandboxed: they can
read only the engine and its fonts, and write, connect or start nothing.

Examples:
  folioxa-convert report.pdf                    every page, JPG, 300 DPI
  folioxa-convert -o thumbs/ *.pdf              several documents, one pool
  cat report.pdf | folioxa-convert -            from a pipe: page_1.jpg, ...
  folioxa-convert --scale-to 200 report.pdf     the longer side 200 pixels
  folioxa-convert --scale-to-x 800 report.pdf   800 pixels wide
  folioxa-convert --scale-to-y 600 report.pdf   600 pixels high
  folioxa-convert --quality 85 report.pdf       smaller JPEG files
  folioxa-convert -t tiff -r 400 scan.pdf       TIFF for OCR

Exit status:
  0  every page was written
  1  the conversion failed (the message is on stderr)
  2  usage error: bad option or value, an empty page selection, or documents
     whose files would have the same names
  3  a document could not be opened (missing, not a PDF, wrong or missing
     password)
  128 + N  ended by signal N (SIGINT, SIGTERM, SIGHUP): the page being written
     is dropped, an older file of its name stays, the message names the entry
)";
}

} // namespace folioxa
