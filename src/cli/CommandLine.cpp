#include "cli/CommandLine.h"

#include "conversion/ImageFormats.h"
#include "conversion/Messages.h"
#include "conversion/OutputFileNaming.h"
#include "conversion/PageSelection.h"
#include "sandbox/Sandbox.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <utility>

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
constexpr std::size_t kManualWidth = 92; // after the tab that indents a paragraph
constexpr const char* kStdinBaseName = "page_";

// What the completion offers for an option's argument.
enum class ValueKind { Flag, Text, Folder, Words };

// One option: its names, its argument, its line in --help and paragraph in the manual page,
// what the completion offers for its argument, and what it sets. The parser, --help, the manual's
// option list and the completion are all made from these rows.
struct OptionRow {
    char Short; // 0: long form only
    std::string Long;
    std::string Argument; // empty: the option takes no value
    std::string Help;
    std::string Manual;                              // scdoc markup, one paragraph
    void (*Apply)(CommandLine&, const std::string&); // null for a whole number of the settings
    ValueKind Values = ValueKind::Flag;
    std::vector<std::string> Words{}; // ValueKind::Words: in the letter case first offered
    std::int32_t ConversionSettings::*Number = nullptr;
    int Min = 0, Max = 0; // of Number
};

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::vector<std::string> ImageTypeWords() {
    std::vector<std::string> names;
    for (const ImageFormat& format : StandardImageFormats().All()) {
        names.push_back(format.Name);
    }
    return names;
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

struct BoxName {
    const char* Name;
    PageBox Box;
};
constexpr BoxName kBoxNames[] = {{"media", PageBox::Media},
                                 {"crop", PageBox::Crop},
                                 {"bleed", PageBox::Bleed},
                                 {"trim", PageBox::Trim},
                                 {"art", PageBox::Art}};

PageBox BoxOf(const std::string& value) {
    for (const BoxName& box : kBoxNames) {
        if (Upper(value) == Upper(box.Name)) {
            return box.Box;
        }
    }
    throw EUsageError("--box: unknown box '" + value + "' (media, crop, bleed, trim or art)");
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
         "The pages to convert, such as *1-4,6,9-10* (default: all pages). See *PAGE SELECTION*.",
         [](CommandLine& l, const std::string& v) {
             l.Settings.ConvertMethod = cmPageSelection;
             l.Settings.PageSelection = v;
         },
         ValueKind::Text},
        {'f', "first", "N", "only the listed pages from page N on",
         "Of the pages the selection lists, convert only those from page _N_ on (1 to "
         "2147483647). *-f 5* alone converts page 5 to the last page.",
         [](CommandLine& l, const std::string& v) {
             l.Settings.Filter.First = WholeNumber("--first", v, 1, INT32_MAX);
         },
         ValueKind::Text},
        {'l', "last", "N", "only the listed pages up to page N",
         "Of the pages the selection lists, convert only those up to page _N_ (1 to "
         "2147483647).",
         [](CommandLine& l, const std::string& v) {
             l.Settings.Filter.Last = WholeNumber("--last", v, 1, INT32_MAX);
         },
         ValueKind::Text},
        {0, "odd", "", "only the listed pages with odd numbers",
         "Of the pages the selection lists, convert only those with odd numbers (1, 3, 5...).",
         [](CommandLine& l, const std::string&) { l.Settings.Filter.Parity = PageParity::Odd; }},
        {0, "even", "", "only the listed pages with even numbers",
         "Of the pages the selection lists, convert only those with even numbers. With *--odd*, "
         "*-f* and *-l* it applies to the list that *-p* gives, in its order; a list it leaves "
         "empty is reported (\"No page to convert: ...\") and nothing is written. An entry that "
         "is not a number is kept, and fails when the run reaches it.",
         [](CommandLine& l, const std::string&) { l.Settings.Filter.Parity = PageParity::Even; }},
        {'t', "type", "TYPE", ImageTypeNames() + ", any letter case (default: JPG)",
         "*JPG*, *PNG*, *TIFF*, *WEBP* or *BMP*, in any letter case (default: JPG). JPG is "
         "baseline "
         "JFIF at quality 100 unless *--quality* says otherwise; PNG is 8-bit RGB; TIFF is 8-bit "
         "RGB with Deflate compression and the horizontal predictor, named *.tif*; WEBP is "
         "lossless WebP unless *--quality* is given; BMP is 32 bits a pixel.",
         [](CommandLine& l, const std::string& v) { l.Settings.ImageType = ImageTypeName(v); },
         ValueKind::Words, ImageTypeWords()},
        {'r', "dpi", "N", "resolution, a whole number from 1 to 2400 (default: 300)",
         "The resolution, a whole number from 1 to 2400 (default: 300). A page of 8.5 x 11 "
         "inches at 300 DPI is 2550 x 3300 pixels.",
         [](CommandLine& l, const std::string& v) { l.Settings.Resolution = Resolution(v); },
         ValueKind::Text},
        {0,
         "scale-to",
         "N",
         "each page's longer side becomes N pixels (1 to 100000), the other side in proportion, "
         "instead of the resolution",
         "Size every page to fit: its longer side becomes _N_ pixels (1 to 100000), the other "
         "side in proportion, rounded half to even; the resolution is not used. *--scale-to 200* "
         "makes an A4 page 141 x 200 pixels.",
         nullptr,
         ValueKind::Text,
         {},
         &ConversionSettings::ScaleTo,
         1,
         kMaxScale},
        {0,
         "scale-to-x",
         "W",
         "each page becomes W pixels wide; alone, the height follows in proportion",
         "Every page becomes _W_ pixels wide (1 to 100000); given alone, the height follows in "
         "proportion.",
         nullptr,
         ValueKind::Text,
         {},
         &ConversionSettings::ScaleToX,
         1,
         kMaxScale},
        {0,
         "scale-to-y",
         "H",
         "each page becomes H pixels high; alone, the width follows in proportion; with "
         "--scale-to-x both sides are exact",
         "Every page becomes _H_ pixels high (1 to 100000); given alone, the width follows in "
         "proportion. With *--scale-to-x* both sides are exact. Neither goes with *--scale-to*.",
         nullptr,
         ValueKind::Text,
         {},
         &ConversionSettings::ScaleToY,
         1,
         kMaxScale},
        {0, "quality", "N",
         "JPEG quality, 1 to 100 (default: 100); lower makes smaller files; with -t webp, lossy "
         "WebP at that quality (default: lossless)",
         "The JPEG quality, a whole number from 1 to 100 (default: 100). Lower numbers make "
         "smaller files; nothing else about the JPEG changes. With *-t webp* it makes the files "
         "lossy WebP at that quality instead of lossless. Other types ignore it.",
         [](CommandLine& l, const std::string& v) {
             l.Settings.JpegQuality = WholeNumber("--quality", v, 1, 100);
             l.Settings.Lossy = true;
         },
         ValueKind::Text},
        {0, "gray", "", "8-bit grey files, grey being the luma of red, green and blue",
         "Write grey files, 8 bits a pixel: JPEG with one component, PNG of colour type 0, TIFF "
         "with one sample, WebP with equal red, green and blue, BMP with a palette of 256 greys. "
         "Grey is (19595 x red + 38470 x green + 7471 x blue + 32768) / 65536, rounded down: the "
         "luma weights 0.299, 0.587 and 0.114 of JPEG, so white stays 255.",
         [](CommandLine& l, const std::string&) { l.Settings.Pixels = PixelMode::Grey; }},
        {0, "mono", "", "black and white, one bit a pixel (PNG, TIFF, BMP)",
         "Write black and white files, one bit a pixel: a pixel whose grey value (see *--gray*) "
         "is 128 or more is white, any other black, with no dithering. PNG, TIFF (CCITT Group 4, "
         "as fax and scanner software expect) and BMP only: JPG and WEBP are refused before "
         "anything is drawn.",
         [](CommandLine& l, const std::string&) { l.Settings.Pixels = PixelMode::BlackAndWhite; }},
        {0, "transparent", "",
         "draw onto a transparent background and write alpha (PNG, TIFF, "
         "WEBP)",
         "Draw each page onto a transparent background instead of white and write its alpha "
         "channel (straight, not premultiplied): where the page paints nothing the file is "
         "transparent. PNG, TIFF and WEBP only: JPG and BMP are refused before anything is "
         "drawn, and so is *--mono*.",
         [](CommandLine& l, const std::string&) { l.Settings.Drawing.Transparent = true; }},
        {0,
         "box",
         "BOX",
         "draw each page as its media, crop, bleed, trim or art box (default: crop)",
         "Draw and size each page as its *media*, *crop*, *bleed*, *trim* or *art* box, its "
         "*/Rotate* applied (default: *crop*, the page as a viewer shows it). A box the page "
         "lacks falls back as PDF readers do: bleed, trim and art to the crop box, the crop box "
         "to the media box; every box is cut to the media box.",
         [](CommandLine& l, const std::string& v) { l.Settings.Drawing.Box = BoxOf(v); },
         ValueKind::Words,
         {"media", "crop", "bleed", "trim", "art"}},
        {0, "annotations", "",
         "draw the annotations (comments, shapes, stamps) as a viewer shows them",
         "Draw the annotations' normal appearances, as a viewer shows them: comments, shapes, "
         "stamps, the appearances of signatures. By default no annotation is drawn; form fields "
         "always are.",
         [](CommandLine& l, const std::string&) { l.Settings.Drawing.Annotations = true; }},
        {0, "no-highlight", "", "form fields without the on-screen highlight",
         "Draw form fields as they are printed, without the tint that marks them on screen (by "
         "default they carry it, as in the window).",
         [](CommandLine& l, const std::string&) { l.Settings.Drawing.FormHighlight = false; }},
        {'o', "output-dir", "DIR",
         "folder of the image files (default: each PDF's own folder), made with its parents "
         "when missing",
         "The folder the image files go to (default: the folder of each _FILE.pdf_). A \"/\" is "
         "added when _DIR_ does not end in one. A missing folder is made, with its parents, "
         "before the first page is written (not by *--dry-run*).",
         [](CommandLine& l, const std::string& v) {
             l.OutputDirectory = v.empty() || v.back() == '/' ? v : v + "/";
         },
         ValueKind::Folder},
        {'b', "base", "NAME",
         "first part of every file name (default: the PDF's name without \".pdf\", then \"_\": "
         "report.pdf gives report_)",
         "The first part of every file name (default: the name of _FILE.pdf_ with \".pdf\" "
         "removed, then \"\\_\": *report.pdf* gives *report\\_*; *page\\_* for standard input). An "
         "empty _NAME_ is taken as it is.",
         [](CommandLine& l, const std::string& v) { l.BaseFileName = v; }, ValueKind::Text},
        {0, "single-file", "",
         "name the file base + extension, without a page number; the list must hold one entry",
         "Name the one file of each document _BASE_ + extension, without a page number: with "
         "*-p 1*, *-b thumb* and *-t png* it writes *thumb.png*. The default base name loses "
         "its \"\\_\" (*report.png*). A document whose list holds more than one entry is "
         "refused before any page is drawn, with exit status 2.",
         [](CommandLine& l, const std::string&) { l.Settings.SingleFile = true; }},
        {0, "skip-existing", "",
         "do not draw an entry whose file already exists: resumes an interrupted run",
         "Leave out every entry whose file already exists, as a regular file that is not empty, "
         "when the run reaches it; its file is kept as it is. Files are only ever put in place "
         "whole, so the same command resumes a run that was interrupted where it stopped. "
         "Skipped entries are counted in the summary and listed by *--json* (\"skipped\").",
         [](CommandLine& l, const std::string&) { l.Settings.SkipExisting = true; }},
        {0, "password-stdin", "",
         "read the password from the first line of stdin, for every document; without it a "
         "protected document asks for its password on the terminal (never give a password on "
         "the command line)",
         "Read the password from the first line of standard input (with the echo off when "
         "standard input is a terminal). The one password is tried on every document of the "
         "call; a document without a password opens as it is. Without this option each "
         "protected document asks for its password once on the terminal, without showing what "
         "is typed. It cannot be combined with _FILE_ *-*, whose standard input is the PDF. A "
         "password is never taken on the command line, where other users could read it.",
         [](CommandLine& l, const std::string&) { l.PasswordFromStdin = true; }},
        {'j', "jobs", "N",
         "pages drawn at once by N worker processes (default: the number of online cores)",
         "Draw pages in up to _N_ worker processes at once, from 1 to 256 (default: the number "
         "of online cores; fewer when memory would not hold that many pages). Each worker has "
         "its own engine; *folioxa-convert* writes every file itself in list order, so the files "
         "are the same, byte for byte, at any _N_.",
         [](CommandLine& l, const std::string& v) {
             l.Jobs = WholeNumber("--jobs", v, 1, kMaxJobs);
         },
         ValueKind::Text},
        {0, "page-timeout", "S",
         "end the run when one page takes longer than S seconds; 0: no limit (default: 300)",
         "End the run when one page takes longer than _S_ seconds (0 to 86400) to draw and "
         "encode; its worker is ended and the message names the page and the limit. 0 sets no "
         "limit. Default: 300.",
         [](CommandLine& l, const std::string& v) {
             l.PageTimeout = WholeNumber("--page-timeout", v, 0, 24 * 3600);
         },
         ValueKind::Text},
        {0, "memory-limit", "MB",
         "memory each worker may take, from 64 to 16777216; a page that needs more fails with a "
         "message naming it (default: 512 MB for the engine plus twice the page's pixels, within "
         "the memory available at the start shared among the workers)",
         "Let each worker take at most _MB_ megabytes of memory (64 to 16777216). A page whose "
         "engine needs more ends the run with one message naming the page and the limit (\"Page "
         "1 needs more memory than the limit of 2900 MB per page\"); its worker is ended and the "
         "machine's memory stays free for everything else. Default: for each page, 512 MB for "
         "the engine plus twice the page's pixels (4 bytes each), within the memory available "
         "when the run starts shared evenly among the workers. Builds with the address sanitizer "
         "have no limit.",
         [](CommandLine& l, const std::string& v) {
             l.MemoryLimitMb =
                 WholeNumber("--memory-limit", v, kMinMemoryLimitMb, kMaxMemoryLimitMb);
         },
         ValueKind::Text},
        {0, "dry-run", "",
         "open the documents and list each entry with its output file, flagging entries that "
         "name no page and files written twice; write nothing (exit 1 when an entry names no "
         "page)",
         "Open the documents and list each entry with the file it would write, flagging entries "
         "that name no page, files written twice and, with *--skip-existing*, files that exist; "
         "write nothing. With several documents each list follows a line with the document's "
         "name. The exit status is 1 when an entry names no page.",
         [](CommandLine& l, const std::string&) { l.DryRun = true; }},
        {0, "json", "",
         "one JSON object per line on stdout: one per page written (document, page, path, "
         "bytes, ms), notices, errors, and a final summary",
         "Write one JSON object per line on standard output: a \"page\" object for every file "
         "written (document, index, entry, page, path, bytes, ms), a \"skipped\" object for "
         "every entry *--skip-existing* leaves out, a \"notice\" object for every notice, an "
         "\"error\" object for every failure, and at the end a \"summary\" (of one document: a "
         "\"summary\" or an \"error\" object). Every object about a document carries its name "
         "as given in \"document\".",
         [](CommandLine& l, const std::string&) { l.Json = true; }},
        {'q', "quiet", "", "print nothing but failures", "Print nothing but failures.",
         [](CommandLine& l, const std::string&) { l.Quiet = true; }},
        {'h', "help", "", "this text", "Print a summary of the options and exit.",
         [](CommandLine& l, const std::string&) { l.Mode = ToolMode::Help; }},
        {0, "version", "",
         "the program's version, and what the page workers' sandbox holds on this machine",
         "Print the program's version and, on a second line, what the page workers' sandbox "
         "holds on this machine (\"sandbox: Landlock ABI 7, seccomp filter, resource limits\"; "
         "a layer the kernel lacks is named as missing), and exit.",
         [](CommandLine& l, const std::string&) { l.Mode = ToolMode::Version; }},
    };
    return options;
}

// Options of pdftoppm, pdftocairo and mutool draw that would otherwise be misread ("-png" as
// "-p ng") or refused without a hint, and what to write instead.
struct Habit {
    const char* Option;
    const char* Hint;
};
constexpr const char* kNoPasswordHere =
    "a password is never taken on the command line, where other users can read it: use "
    "--password-stdin";
constexpr Habit kHabits[] = {
    {"-png", "did you mean '-t png'?"},
    {"-jpeg", "did you mean '-t jpg'?"},
    {"-jpg", "did you mean '-t jpg'?"},
    {"-tiff", "did you mean '-t tiff'?"},
    {"-jpegopt", "did you mean '--quality N'?"},
    {"-gray", "did you mean '--gray'?"},
    {"-mono", "did you mean '--mono'?"},
    {"-transp", "did you mean '--transparent'?"},
    {"-singlefile", "did you mean '--single-file'?"},
    {"-scale-to", "did you mean '--scale-to'?"},
    {"-scale-to-x", "did you mean '--scale-to-x'?"},
    {"-scale-to-y", "did you mean '--scale-to-y'?"},
    {"-rx", "did you mean '-r' (one resolution for both sides)?"},
    {"-ry", "did you mean '-r' (one resolution for both sides)?"},
    {"-cropbox", "did you mean '--box crop'?"},
    {"-hide-annotations", "annotations are drawn only with --annotations"},
    {"-odd", "did you mean '--odd'?"},
    {"-even", "did you mean '--even'?"},
    {"-e", "did you mean '--even'?"},
    {"-F", "did you mean '-t TYPE'?"},
    {"-c", "did you mean '--gray', '--mono' or '--transparent'?"},
    {"-w", "did you mean '--scale-to-x'?"},
    {"-upw", kNoPasswordHere},
    {"-opw", kNoPasswordHere},
};

const Habit* FindHabit(const std::string& option) {
    for (const Habit& habit : kHabits) {
        if (option == habit.Option) {
            return &habit;
        }
    }
    return nullptr;
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

// Refuses options that contradict each other or that the image type cannot write, so that a run
// that could not keep its promise never draws a page.
void CheckChoices(const ConversionSettings& settings, const std::vector<std::string>& seen) {
    const auto given = [&seen](const char* name) {
        return std::find(seen.begin(), seen.end(), name) != seen.end();
    };
    for (const auto& [one, other] : {std::pair{"gray", "mono"}, std::pair{"odd", "even"}}) {
        if (given(one) && given(other)) {
            throw EUsageError(std::string("--") + one + " and --" + other +
                              " cannot be combined: choose one");
        }
    }
    const PageFilter& filter = settings.Filter;
    if (filter.First != 0 && filter.Last != 0 && filter.First > filter.Last) {
        throw EUsageError("--first " + std::to_string(filter.First) + " comes after --last " +
                          std::to_string(filter.Last) + ": no page is left");
    }
    const ImageFormat& format = StandardImageFormats().Find(settings.ImageType);
    if (const auto refusal = OptionsRefusal(format, WriterOptionsOf(settings))) {
        throw EUsageError(*refusal);
    }
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

// `text` cut into lines of at most `width` characters at its blanks, each line after `indent`.
std::string Wrapped(const std::string& text, const std::string& indent, std::size_t width) {
    std::string lines;
    std::string line;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        // A line of the manual that begins with "-" would start a list.
        if (!line.empty() && line.size() + 1 + word.size() > width && word[0] != '-') {
            lines += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return lines + indent + line + "\n";
}

std::string ManualOptionList() {
    std::string list;
    for (const OptionRow& row : Options()) {
        if (!list.empty()) {
            list += "\n";
        }
        list += row.Short != 0 ? std::string("*-") + row.Short + "*, " : "";
        list += "*--" + row.Long + "*" + (row.Argument.empty() ? "" : " _" + row.Argument + "_");
        list += "\n" + Wrapped(row.Manual, "\t", kManualWidth);
    }
    return list;
}

// The arms of the completion's "case $prev": what each option's argument is.
std::string CompletionCases() {
    std::string cases;
    for (const OptionRow& row : Options()) {
        if (row.Values == ValueKind::Flag) {
            continue;
        }
        cases += "    ";
        cases += row.Short != 0 ? std::string("-") + row.Short + " | " : "";
        cases += "--" + row.Long + ") ";
        switch (row.Values) {
        case ValueKind::Text:
            cases += "kind=text";
            break;
        case ValueKind::Folder:
            cases += "kind=folder";
            break;
        case ValueKind::Words: {
            std::string words;
            for (const std::string& word : row.Words) {
                words += (words.empty() ? "" : " ") + word;
            }
            cases += "kind=words words='" + words + "'";
            break;
        }
        case ValueKind::Flag:
            break;
        }
        cases += " ;;\n";
    }
    return cases;
}

std::string CompletionOptions() {
    std::string names;
    for (const OptionRow& row : Options()) {
        names += row.Short != 0 ? std::string("-") + row.Short + " " : "";
        names += "--" + row.Long + " ";
    }
    return names.substr(0, names.size() - 1);
}

void Replace(std::string& text, const std::string& marker, const std::string& part) {
    for (std::size_t at = 0; (at = text.find(marker, at)) != std::string::npos;) {
        text.replace(at, marker.size(), part);
        at += part.size();
    }
}

} // namespace

std::string FillOptionTemplate(std::string text) {
    // A part that ends in a line break stands for its marker's whole line.
    std::string manual = ManualOptionList();
    std::string cases = CompletionCases();
    Replace(text, "@MANUAL_OPTIONS@\n", manual);
    Replace(text, "@COMPLETION_CASES@\n", cases);
    Replace(text, "@COMPLETION_OPTIONS@", CompletionOptions());
    return text;
}

bool ReadsStdin(const std::string& file) {
    return file == "-" || file == "/dev/stdin";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, int onlineCores) {
    CommandLine line;
    line.Jobs = std::clamp(onlineCores, 1, kMaxJobs);
    std::vector<std::string> seen; // the options given, by their long names
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
        const Habit* habit = isLong ? nullptr : FindHabit(arg);
        if (habit != nullptr) {
            throw EUsageError("unknown option '" + arg + "': " + habit->Hint);
        }
        const std::size_t equals = isLong ? arg.find('=') : std::string::npos;
        const std::string name = isLong ? arg.substr(2, equals - 2) : arg.substr(1, 1);
        if (NamesPassword(name)) {
            throw EUsageError(kNoPasswordHere);
        }
        const OptionRow* option = isLong ? FindLong(name) : FindShort(arg[1]);
        const std::string shown = isLong ? "--" + name : "-" + name;
        if (option == nullptr) {
            habit = isLong ? nullptr : FindHabit(shown);
            throw EUsageError("unknown option '" + shown + "'" +
                              (habit != nullptr ? std::string(": ") + habit->Hint : ""));
        }
        seen.push_back(option->Long);
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
    CheckChoices(line.Settings, seen);
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
    if (settings.SingleFile && !line.BaseFileName) {
        // The "_" parts the name from a page number that a single file does not have.
        settings.BaseFileName.pop_back();
    }
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

What is drawn: each page as a viewer shows it (its crop box), onto white, form
fields with their on-screen highlight, annotations not drawn; --box,
--transparent, --annotations and --no-highlight change that. Grey is the luma
of red, green and blue (0.299, 0.587, 0.114); --mono makes a pixel white when
its grey is 128 or more, black otherwise.

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
  folioxa-convert -t tiff --mono scan.pdf       black and white, CCITT Group 4
  folioxa-convert -t png --gray report.pdf      8-bit grey PNG
  folioxa-convert -t webp report.pdf            lossless WebP
  folioxa-convert -f 5 --odd report.pdf         odd pages from page 5 on
  folioxa-convert -p 1 --single-file -b thumb --scale-to 200 -t png report.pdf
                                                thumb.png
  folioxa-convert --skip-existing -o out/ *.pdf resume an interrupted batch

Exit status:
  0  every page was written
  1  the conversion failed (the message is on stderr)
  2  usage error: bad option or value, options the image type cannot write
     (--mono with JPG), an empty page selection, documents whose files would
     have the same names, or --single-file with more than one entry
  3  a document could not be opened (missing, not a PDF, wrong or missing
     password)
  128 + N  ended by signal N (SIGINT, SIGTERM, SIGHUP): the page being written
     is dropped, an older file of its name stays, the message names the entry
)";
}

} // namespace folioxa
