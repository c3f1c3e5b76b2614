#include "cli/TextView.h"

#include "conversion/Messages.h"

namespace folioxa {

TConsole::TConsole(std::ostream& out, std::ostream& err, bool json, bool quiet, bool progress,
                   bool namesDocuments)
    : FOut(out), FErr(err), FJson(json), FQuiet(quiet), FProgress(progress),
      FNamesDocuments(namesDocuments) {}

std::string TConsole::Prefix(const std::string& document) const {
    if (!FNamesDocuments || document.empty()) {
        return {};
    }
    return Label(document) + ": ";
}

std::string TConsole::Label(const std::string& document) {
    return document == "-" ? "stdin" : document;
}

void TConsole::Notice(const std::string& document, const std::string& text) {
    if (FJson) {
        Record(JsonObject().Add("type", "notice").Add("document", document).Add("text", text));
    } else if (!FQuiet) {
        ClearProgress();
        FErr << Printable(Prefix(document) + text) << '\n' << std::flush;
    }
}

void TConsole::Info(const std::string& text) {
    if (!FJson && !FQuiet) {
        ClearProgress();
        FErr << Printable(text) << '\n' << std::flush;
    }
}

void TConsole::Record(const JsonObject& record) {
    if (FJson) {
        FOut << record.Text() << '\n' << std::flush;
    }
}

void TConsole::Failure(const std::string& document, const std::string& text) {
    ClearProgress();
    // Named even alone: a script's log line must say which document failed.
    const std::string prefix = document.empty() ? std::string() : Label(document) + ": ";
    FErr << "folioxa-convert: " << Printable(prefix + text) << '\n' << std::flush;
}

void TConsole::Progress(std::int64_t position, std::int64_t max, const std::string& path) {
    if (!FProgress || FQuiet) {
        return;
    }
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Carriage return, the line, then "erase to the end of the line" for a shorter name.
    FErr << "\rpage " << position << '/' << max << "  " << Printable(name) << "\x1b[K"
         << std::flush;
    FProgressShown = true;
}

void TConsole::ClearProgress() {
    if (FProgressShown) {
        FErr << "\r\x1b[K" << std::flush;
        FProgressShown = false;
    }
}

void TTextView::ShowNotice(const std::string& text) {
    FConsole.Notice(FDocument, text);
}

void TTextView::ShowCompleted() {
    FCompleted = true;
    if (FSkipped > 0) {
        FConsole.Info(FConsole.Prefix(FDocument) + std::to_string(FSkipped) + " of " +
                      std::to_string(FMax) + " entries skipped: their files exist");
    }
    if (!FConsole.Json()) { // with --json the summary record says it
        FConsole.Notice(FDocument, kCompleteNotice);
    }
}

void TTextView::SetProgressVisible(bool on) {
    if (!on) {
        FConsole.ClearProgress();
    }
}

} // namespace folioxa
