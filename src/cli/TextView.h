#pragma once

#include "base/Printable.h"
#include "cli/Json.h"
#include "conversion/ConversionView.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace folioxa {

// Where the tool's texts go: JSON records on stdout (with --json), notices and failures on
// stderr, and a progress line on stderr that is redrawn in place (only when stderr is a
// terminal). A notice or failure first clears the progress line. `document` is the name of the
// document a text is about, as given on the command line ("" for none); a failure's line starts
// with it, and so do the other lines on stderr when the call has several documents.
class TConsole {
public:
    TConsole(std::ostream& out, std::ostream& err, bool json, bool quiet, bool progress,
             bool namesDocuments = false);

    bool Json() const { return FJson; }
    // "report.pdf: " with several documents ("stdin: " for "-"), else nothing.
    std::string Prefix(const std::string& document) const;
    // How texts name a document: as given, "stdin" for "-".
    static std::string Label(const std::string& document);
    // A notice of the run: a JSON record with --json (but the completion notice, which the
    // summary record replaces), a line on stderr otherwise; none with -q.
    void Notice(const std::string& document, const std::string& text);
    // A line for the user on stderr (not a notice of the run); none with -q or --json.
    void Info(const std::string& text);
    // A record on stdout, only with --json.
    void Record(const JsonObject& record);
    // "folioxa-convert: <document>: <text>" on stderr, whatever -q and --json say; the
    // document is named even when it is the only one.
    void Failure(const std::string& document, const std::string& text);
    // "page 37/120  report_037.jpg": the file name of `path` after the entry's position.
    void Progress(std::int64_t position, std::int64_t max, const std::string& path);
    void ClearProgress();

private:
    std::ostream& FOut;
    std::ostream& FErr;
    bool FJson;
    bool FQuiet;
    bool FProgress;
    bool FNamesDocuments;
    bool FProgressShown = false;
};

// The run's window operations for a terminal, for one document: notices through the console,
// the progress bar as the console's progress line, busy cursor and buttons as nothing. Whether
// the run completed or its selection was empty is recorded, so that the tool can choose its exit
// code.
class TTextView : public ConversionView {
public:
    TTextView(TConsole& console, std::string document)
        : FConsole(console), FDocument(std::move(document)) {}

    void ShowNotice(const std::string& text) override;
    void SetBusy(bool) override {}
    void SetProgressVisible(bool on) override;
    void SetProgressMax(int max) override { FMax = max; }
    void SetProgressPosition(int position) override { FPosition = position; }
    void SetConvertControlsEnabled(bool) override {}
    // The tool reports an empty selection as a usage error, once for all documents.
    void ShowSelectionEmpty() override { FSelectionEmpty = true; }
    void ShowCompleted() override;

    // Shows the entry now being converted on the progress line.
    void ShowEntry(const std::string& path) { FConsole.Progress(FPosition, FMax, path); }
    // An entry left out because its file exists; the completion says how many were.
    void EntrySkipped() { ++FSkipped; }
    std::int64_t Skipped() const { return FSkipped; }

    int ProgressMax() const { return FMax; }
    bool Completed() const { return FCompleted; }
    bool SelectionEmpty() const { return FSelectionEmpty; }

private:
    TConsole& FConsole;
    std::string FDocument;
    int FMax = 0;
    int FPosition = 0;
    std::int64_t FSkipped = 0;
    bool FCompleted = false;
    bool FSelectionEmpty = false;
};

} // namespace folioxa
