#include "app/Main.h"

#include "app/Dialogs.h"
#include "app/ErrorDisplay.h"
#include "app/PagesTab.h"
#include "app/RegistryAccess.h"
#include "conversion/ConversionJob.h"
#include "conversion/OutputFileNaming.h"
#include "conversion/PageSelection.h"
#include "conversion/PasswordRetry.h"
#include "pool/PooledConversion.h"
#include "ui_Main.h"

#include <poll.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMimeData>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTextDocument>
#include <QUrl>

#include <cmath>
#include <filesystem>

namespace folioxa {

namespace {

constexpr const char* kProductName = "Folioxa";
constexpr const char* kPasswordTitle = "Enter the password for this PDF file:";
constexpr const char* kPasswordPrompt = "Password";

// Paths travel as the file system's bytes; the edits show them decoded.
std::string PathOf(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString PathText(const std::string& path) {
    return QFile::decodeName(path.c_str());
}

// Leaves the document as a selection must: closed, with an empty password.
class SelectionCloser {
public:
    explicit SelectionCloser(RunDocument& pdf) : FPdf(pdf) {}
    SelectionCloser(const SelectionCloser&) = delete;
    SelectionCloser& operator=(const SelectionCloser&) = delete;
    ~SelectionCloser() {
        FPdf.SetActive(false);
        FPdf.SetPassword("");
    }

private:
    RunDocument& FPdf;
};

// The busy cursor for as long as a worker's engine works for the window: a document whose forms
// branch millions of ways keeps the engine in its form set-up for minutes. Every dialog takes it
// down first (ShowNotice; the error display comes after this guard has gone).
class EngineBusy {
public:
    explicit EngineBusy(ConversionView& view) : FView(view) { FView.SetBusy(true); }
    EngineBusy(const EngineBusy&) = delete;
    EngineBusy& operator=(const EngineBusy&) = delete;
    ~EngineBusy() {
        if (!FHandedOver) {
            FView.SetBusy(false);
        }
    }
    // A run going on keeps the cursor up until its clean-up.
    void HandOver() { FHandedOver = true; }

private:
    ConversionView& FView;
    bool FHandedOver = false;
};

// One attempt to open the document; a failed attempt before it may have left it open.
int OpenAndCountPages(RunDocument& pdf, ConversionView& view, const std::string& path,
                      const std::string& password) {
    const EngineBusy busy(view);
    pdf.SetActive(false);
    pdf.SetFileName(path);
    pdf.SetPassword(password);
    pdf.SetActive(true);
    return pdf.PageCount();
}

// Waits for a worker's answer while the window keeps repainting (user input waits until
// afterwards). Nothing outlives the wait: the loop and the notifier are this frame's, and no other
// thread takes part. False when the program quits meanwhile.
bool WaitRepainting(int fd) {
    QEventLoop loop;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&loop] { loop.quit(); });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    pollfd readable{fd, POLLIN, 0};
    return ::poll(&readable, 1, 0) > 0;
}

} // namespace

QFont UiFont(const QString& family, int pixelHeight) {
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    if (QFontDatabase::hasFamily(family)) {
        font.setFamilies({family});
    } else {
        // The common free faces run wider than the form's faces at the same height; semi-
        // condensed, their texts take the widths the form was laid out for.
        font.setFamilies({QStringLiteral("sans-serif")});
        font.setStretch(QFont::SemiCondensed);
    }
    return font;
}

namespace {

void FitToText(QWidget* page) {
    // Labels and radio buttons grow to show their whole text, as the form's own labels did;
    // they never shrink, and word-wrapped labels keep their width.
    for (QWidget* widget : page->findChildren<QWidget*>()) {
        auto* label = qobject_cast<QLabel*>(widget);
        const bool fits = (label != nullptr && !label->wordWrap()) ||
                          qobject_cast<QRadioButton*>(widget) != nullptr;
        if (fits && widget->sizeHint().width() > widget->width()) {
            widget->resize(widget->sizeHint().width(), widget->height());
        }
    }
}

// A control whose text would run under its neighbour at `limit` gets a tighter face instead; it
// keeps at least the form's width.
void FitBeside(QWidget* widget, int formWidth, int limit) {
    const int room = limit - widget->x() - 2;
    for (const auto stretch : {QFont::Condensed, QFont::ExtraCondensed, QFont::UltraCondensed}) {
        if (widget->sizeHint().width() <= room) {
            break;
        }
        QFont font = widget->font();
        font.setStretch(stretch);
        widget->setFont(font);
    }
    widget->resize(std::max(formWidth, std::min(widget->sizeHint().width(), room)),
                   widget->height());
}

} // namespace

QString DocumentationUrl() {
    // The same place relative to the program in the build tree and in an installed tree.
    const QString readme =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/doc/folioxa/README.md");
    return QUrl::fromLocalFile(readme).toString();
}

TFormTest::TFormTest(Dialogs* dialogs, QWidget* parent)
    : QMainWindow(parent), FUi(std::make_unique<Ui::TFormTest>()),
      FOwnDialogs(dialogs != nullptr ? nullptr : std::make_unique<QtDialogs>(this)),
      FDialogs(dialogs != nullptr ? *dialogs : *FOwnDialogs) {
    FUi->setupUi(this);
    // Stop sits at the end of the progress bar, and shows with it: only while a run goes on.
    FStopButton = new QPushButton("Stop", FUi->TabExport);
    FStopButton->setObjectName("stop_button");
    FStopButton->setShortcut(Qt::Key_Escape);
    FStopButton->setToolTip("Stop the conversion (Esc)");
    // The window answers during a run: the busy cursor is the arrow with an hourglass, and
    // over Stop only the arrow.
    FStopButton->setCursor(Qt::ArrowCursor);
    FStopButton->hide();
    // A focused button takes Enter itself; elsewhere on the Convert page Enter means Convert.
    for (QPushButton* button :
         {FUi->select_input_button, FUi->cmd_split_dest, FUi->export_button, FStopButton}) {
        button->setAutoDefault(true);
    }
    FBarWidth = FUi->ProgressBar->width();
    setAcceptDrops(true);
    FUi->StatusBar1->setFixedHeight(37);
    FPdf.SetWait(WaitRepainting);

    setFont(UiFont("Tahoma", 11));
    FUi->PageControl1->setFont(UiFont("Segoe UI", 13));
    const QFont systemFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    FUi->StatusBar1->setFont(QFont(systemFont.family(), systemFont.pointSize()));
    auto* panel = new QLabel(kProductName, FUi->StatusBar1);
    panel->setObjectName("StatusBar1Panel");
    // File names and entries come from outside: plain text, and never wider than the bar.
    panel->setTextFormat(Qt::PlainText);
    panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    FUi->StatusBar1->addWidget(panel, /*stretch=*/1);
    FStatus = panel;
    FStatusText = kProductName;
    // The time left goes on counting while a long page is drawn.
    FRunClock.setInterval(1000);
    connect(&FRunClock, &QTimer::timeout, this, &TFormTest::ShowRunStatus);
    FOpenFolder = new QPushButton("Open folder", FUi->StatusBar1);
    FOpenFolder->setObjectName("open_folder_button");
    FOpenFolder->setToolTip("Show the written files in the file manager");
    FOpenFolder->hide();
    FUi->StatusBar1->addPermanentWidget(FOpenFolder);
    FUi->StatusBar1->setAutoFillBackground(true);
    // Beside Convert: the pages by sight, which write the selection's text.
    FPages = new TPagesTab;
    FPages->setObjectName("TabPages");
    FUi->PageControl1->insertTab(1, FPages, "Pages");
    FPages->SetOnChosen([this](const std::vector<std::int32_t>& pages) {
        FUi->convert_method2_input1->setText(QString::fromStdString(CompressPages(pages)));
        FUi->r_convert_method2->setChecked(true);
    });

    // The two texts only the window fills look like the menu, not like something to type in.
    for (QLineEdit* edit : {FUi->input_filename, FUi->export_destination_folder}) {
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window));
        edit->setPalette(palette);
    }

    // The link names what it opens; its tool tip shows where that is.
    const QString url = DocumentationUrl();
    FUi->link_website->setText(QString("<a href=\"%1\">README.md</a>").arg(url.toHtmlEscaped()));
    // A tool tip guesses its format too: the program's folder is shown as the path it is.
    FUi->link_website->setToolTip(Qt::convertFromPlainText(url));
    const int selectionWidth = FUi->r_convert_method2->width();
    FitToText(FUi->PageControl1);
    FitBeside(FUi->r_convert_method2, selectionWidth, FUi->convert_method2_input1->x());

    connect(FUi->select_input_button, &QPushButton::clicked, this,
            &TFormTest::select_input_buttonClick);
    connect(FUi->cmd_split_dest, &QPushButton::clicked, this, &TFormTest::cmd_split_destClick);
    connect(FUi->export_button, &QPushButton::clicked, this, &TFormTest::export_buttonClick);
    connect(FStopButton, &QPushButton::clicked, this, &TFormTest::stop_buttonClick);
    connect(FUi->link_website, &QLabel::linkActivated, this, &TFormTest::link_websiteLinkClick);
    connect(FUi->convert_method2_input1, &QLineEdit::textChanged, this,
            [this](const QString& text) {
                FPages->ShowSelection(text.toStdString());
                ShowSelectionCheck();
            });
    connect(FOpenFolder, &QPushButton::clicked, this, [this] {
        RunHandler(FDialogs, [this] {
            FDialogs.ShellOpen(
                QUrl::fromLocalFile(PathText(FStatusFolder)).toString().toStdString(), "");
        });
    });
}

TFormTest::~TFormTest() {
    EndRun();
}

void TFormTest::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Only when the program shows the window, not when the desktop restores it.
    if (!event->spontaneous()) {
        FormShow();
    }
    // The controls keep their places when the window shrinks: never so far that Convert, and
    // Stop beside the bar, leave the screen. Measured once the tabs have laid out their pages.
    constexpr int kMargin = 8;
    const QPoint corner = FUi->export_button->mapTo(
        this, QPoint(FUi->export_button->width(), FUi->export_button->height()));
    setMinimumSize(corner.x() + kMargin, corner.y() + kMargin + FUi->StatusBar1->height());
}

void TFormTest::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // The status is cut to the bar's width: a wider bar shows more of it.
    if (FStatus != nullptr) {
        ShowStatus(FStatusText, FStatusFolder);
    }
}

void TFormTest::FormShow() {
    RunHandler(FDialogs, [this] {
        ShowProgramIdentity();
        FUi->PageControl1->setCurrentWidget(FUi->TabExport);
        FUi->select_input_button->setFocus(Qt::OtherFocusReason);
    });
}

void TFormTest::ShowProgramIdentity() {
    QGuiApplication::setApplicationDisplayName(kProductName);
    FUi->label_app_name->setText(QString(kProductName) + " " +
                                 QString::fromStdString(GetFileVersionString()));
    setWindowTitle(kProductName);
}

void TFormTest::link_websiteLinkClick(const QString& link) {
    RunHandler(FDialogs, [this, &link] { FDialogs.ShellOpen(link.toStdString(), ""); });
}

void TFormTest::select_input_buttonClick() {
    RunHandler(FDialogs, [this] {
        if (const std::optional<std::string> path = FDialogs.OpenPdfFile()) {
            SetInputFile(*path);
        }
    });
}

bool TFormTest::OpenFile(const std::string& path) {
    bool selected = false;
    RunHandler(FDialogs, [this, &path, &selected] { selected = SetInputFile(path); });
    CloseWhenIdle();
    return selected;
}

bool TFormTest::SetInputFile(const std::string& path) {
    const InputDocument document = OpenInputDocument(path);
    if (document.PageCount == -1) {
        return false;
    }
    FPageCount = document.PageCount;
    FPages->SetDocument(path, document.Password, document.PageCount);
    FPages->ShowSelection(FUi->convert_method2_input1->text().toStdString());
    ShowSelectionCheck();
    FUi->input_filename->setText(PathText(path));
    _input_password = document.Password;
    FUi->export_base_filename->setText(PathText(DefaultBaseFileName(path)));
    if (FUi->export_dest_source->isChecked()) {
        FUi->export_destination_folder->setText(PathText(DefaultDestinationFolder(path)));
    }
    return true;
}

InputDocument TFormTest::OpenInputDocument(const std::string& path) {
    InputDocument result;
    const SelectionCloser closer(FPdf);
    bool refusalShown = false;
    try {
        const OpenedDocument opened = OpenAskingOnce(
            [this, &path](const std::string& password) {
                return OpenAndCountPages(FPdf, *this, path, password);
            },
            "",
            [this, &refusalShown](const std::exception& refusal) -> std::optional<std::string> {
                FDialogs.ShowNotice(refusal.what());
                // Cancel gives the empty default, as does an empty OK: neither is worth a second
                // attempt.
                const std::string answer =
                    FDialogs.InputPassword(kPasswordTitle, kPasswordPrompt, "");
                refusalShown = answer.empty();
                return answer.empty() ? std::nullopt : std::optional(answer);
            });
        result.PageCount = opened.PageCount;
        result.Password = opened.Password;
    } catch (const std::exception& e) {
        if (!refusalShown) {
            FDialogs.ShowNotice(e.what());
        }
    }
    return result;
}

void TFormTest::cmd_split_destClick() {
    RunHandler(FDialogs, [this] {
        std::string start = PathOf(FUi->export_destination_folder->text());
        if (start.empty()) {
            start = PathOf(QDir::currentPath());
        }
        if (const std::optional<std::string> folder = FDialogs.BrowseFolder(start)) {
            FUi->export_destination_folder->setText(PathText(*folder + "/"));
            FUi->export_dest_other->setChecked(true);
        }
    });
}

void TFormTest::export_buttonClick() {
    RunHandler(FDialogs, [this] { StartConversion(); });
}

void TFormTest::StartConversion() {
    // The run shows the busy cursor once it has listed the pages; opening comes before that and
    // can be the longest part.
    EngineBusy busy(*this);
    folioxa::StartConversion(
        PathOf(FUi->input_filename->text()), [this] { return ReadSettings(); }, *this,
        [this, &busy](const ConversionSettings& settings) {
            PoolOptions options;
            options.Workers = OnlineCores();
            auto run = std::make_unique<TPooledConversion>(settings, FPdf, *this, options,
                                                           StatusObserver());
            if (run->Finished()) {
                return;
            }
            // The pages are drawn by the workers; the window returns to its event loop and
            // writes each file as it arrives.
            busy.HandOver();
            FRunEvents.Reset(::dup(run->EventFd()));
            FRun = std::move(run);
            FRunNotifier =
                std::make_unique<QSocketNotifier>(FRunEvents.Get(), QSocketNotifier::Read);
            connect(FRunNotifier.get(), &QSocketNotifier::activated, this, &TFormTest::ProcessRun);
        });
    CloseWhenIdle();
}

void TFormTest::ProcessRun() {
    RunHandler(FDialogs, [this] {
        if (!FRun) {
            return;
        }
        // However it ends, a finished run lets go of its workers and of the notifier.
        struct Ender {
            TFormTest& Window;
            ~Ender() {
                if (Window.FRun && Window.FRun->Finished()) {
                    Window.EndRun();
                }
            }
        } ender{*this};
        FRun->Process();
    });
    CloseWhenIdle();
}

void TFormTest::EndRun() {
    if (FRunNotifier) {
        FRunNotifier->setEnabled(false);
        // It may be the sender of the call that ends here.
        FRunNotifier.release()->deleteLater();
    }
    FRun.reset();
    FRunEvents.Reset();
}

void TFormTest::stop_buttonClick() {
    RunHandler(FDialogs, [this] {
        if (!FRun || FRun->Finished()) {
            return;
        }
        const std::int64_t written = FRun->Written();
        const std::int64_t count = FRun->Count();
        FRun->Stop();
        EndRun();
        ShowNotice("Conversion stopped: " + std::to_string(written) + " of " +
                   std::to_string(count) + " pages written.");
    });
    CloseWhenIdle();
}

void TFormTest::closeEvent(QCloseEvent* event) {
    if (FPdf.Busy()) {
        FCloseWhenIdle = true;
        event->ignore();
        return;
    }
    if (FRun) {
        FRun->Stop();
        EndRun();
    }
    QMainWindow::closeEvent(event);
}

void TFormTest::CloseWhenIdle() {
    if (FCloseWhenIdle && !FPdf.Busy()) {
        FCloseWhenIdle = false;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

namespace {

// The one local PDF file a drag carries, or nothing.
std::optional<QString> DraggedPdf(const QMimeData* data) {
    if (data == nullptr || data->urls().size() != 1 || !data->urls().front().isLocalFile()) {
        return std::nullopt;
    }
    QString file = data->urls().front().toLocalFile();
    if (!file.endsWith(".pdf", Qt::CaseInsensitive)) {
        return std::nullopt;
    }
    return file;
}

} // namespace

QString TFormTest::DropRefusal(const QMimeData* mime) const {
    if (FRun) {
        return "Cannot drop a file during a conversion";
    }
    if (FPdf.Busy()) {
        return "Cannot drop a file while a document opens";
    }
    if (mime == nullptr || mime->urls().isEmpty()) {
        return "Only a PDF file can be dropped here";
    }
    if (mime->urls().size() > 1) {
        return "Drop one PDF file at a time";
    }
    if (!DraggedPdf(mime)) {
        return "Not a PDF file: " + mime->urls().front().fileName();
    }
    return {};
}

void TFormTest::dragEnterEvent(QDragEnterEvent* event) {
    const QString refusal = DropRefusal(event->mimeData());
    if (!refusal.isEmpty()) {
        event->ignore();
        ShowStatus(refusal);
        return;
    }
    // Always a copy: a source offered a move may delete its file once the drop is accepted.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    FDropHint = true;
    FStatus->setText("Drop to select " + QUrl(event->mimeData()->urls().front()).fileName());
    QPalette palette = FUi->StatusBar1->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
    palette.setColor(QPalette::WindowText, palette.color(QPalette::HighlightedText));
    FUi->StatusBar1->setPalette(palette);
}

void TFormTest::dragMoveEvent(QDragMoveEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void TFormTest::dragLeaveEvent(QDragLeaveEvent* event) {
    QMainWindow::dragLeaveEvent(event);
    if (FDropHint) {
        FDropHint = false;
        FUi->StatusBar1->setPalette(QPalette());
        ShowStatus(FStatusText, FStatusFolder);
    }
}

void TFormTest::dropEvent(QDropEvent* event) {
    if (FDropHint) {
        FDropHint = false;
        FUi->StatusBar1->setPalette(QPalette());
        ShowStatus(FStatusText, FStatusFolder);
    }
    const QString refusal = DropRefusal(event->mimeData());
    if (!refusal.isEmpty()) {
        event->ignore();
        ShowStatus(refusal);
        return;
    }
    const QString file = *DraggedPdf(event->mimeData());
    event->setDropAction(Qt::CopyAction);
    event->accept();
    RunHandler(FDialogs, [this, &file] { SetInputFile(PathOf(file)); });
    CloseWhenIdle();
}

void TFormTest::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && FUi->PageControl1->currentWidget() == FUi->TabExport &&
        FUi->export_button->isEnabled() && !FRun) {
        event->accept();
        export_buttonClick();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

namespace {

QString Count(std::int64_t n, const char* one, const char* many) {
    return QString::number(n) + " " + (n == 1 ? one : many);
}

// "0:42", "12:05", "1:02:03".
QString Duration(std::int64_t seconds) {
    const std::int64_t hours = seconds / 3600;
    const QString rest =
        QString("%1:%2")
            .arg(hours > 0 ? (seconds / 60) % 60 : seconds / 60, hours > 0 ? 2 : 1, 10, QChar('0'))
            .arg(seconds % 60, 2, 10, QChar('0'));
    return hours > 0 ? QString::number(hours) + ":" + rest : rest;
}

// Pages as typed, as the check names them: "15", "15-20".
QString Pages(std::int64_t first, std::int64_t last) {
    return first == last ? QString::number(first)
                         : QString::number(first) + "-" + QString::number(last);
}

// "page 15 is", "pages 15, 20-22 are": at most a few of `items`, the rest counted.
QString Listed(const QStringList& items, const char* one, const char* many) {
    constexpr int kShown = 4;
    QStringList shown = items.mid(0, kShown);
    if (items.size() > kShown) {
        shown << QString("%1 more").arg(items.size() - kShown);
    }
    return (items.size() == 1 ? one : many) + QString(" ") + shown.join(", ");
}

} // namespace

void TFormTest::ShowStatus(const QString& text, const std::string& folder) {
    FStatusText = text;
    FStatusFolder = folder;
    FOpenFolder->setVisible(!folder.empty());
    if (FDropHint) {
        return;
    }
    // Cut in the middle, so that both the start (what) and the end (where) stay readable.
    const int room = std::max(200, FUi->StatusBar1->width() - 40 -
                                       (folder.empty() ? 0 : FOpenFolder->sizeHint().width()));
    FStatus->setText(FStatus->fontMetrics().elidedText(text, Qt::ElideMiddle, room));
    FStatus->setToolTip(FStatus->text() == text ? QString() : text);
}

void TFormTest::ShowSelectionCheck() {
    if (FProgress.Shown) {
        return; // the run's progress has the bar
    }
    const std::string selection = FUi->convert_method2_input1->text().toStdString();
    QStringList parts;
    if (FPageCount >= 0) {
        parts << Count(FPageCount, "page", "pages");
    }
    if (!selection.empty()) {
        std::int64_t named = 0;
        QStringList beyond, reversed, bad;
        for (const SelectionItem& item : ReadSelection(selection)) {
            switch (item.Kind) {
            case SelectionItem::Page:
            case SelectionItem::Range: {
                const std::int64_t first = item.First;
                const std::int64_t last = item.Last;
                named += last - first + 1;
                if (FPageCount < 0) {
                    break;
                }
                if (first < 1) {
                    beyond << Pages(first, std::min<std::int64_t>(last, 0));
                }
                if (last > FPageCount) {
                    beyond << Pages(std::max<std::int64_t>(first, FPageCount + 1), last);
                }
                break;
            }
            case SelectionItem::Reversed:
                reversed << QString::fromStdString(item.Text);
                break;
            case SelectionItem::Bad:
                bad << "'" + QString::fromStdString(item.Text).left(20) + "'";
                break;
            }
        }
        parts << "selection: " + Count(named, "page", "pages");
        if (!beyond.isEmpty()) {
            parts << Listed(beyond, "page", "pages") + (beyond.size() == 1 ? " is" : " are") +
                         " beyond the " + Count(FPageCount, "page", "pages");
        }
        if (!reversed.isEmpty()) {
            parts << Listed(reversed, "range", "ranges") +
                         (reversed.size() == 1 ? " is reversed" : " are reversed") +
                         " and will be skipped";
        }
        if (!bad.isEmpty()) {
            parts << bad.join(", ") +
                         (bad.size() == 1 ? " is not a page number" : " are not page numbers");
        }
    }
    const QString text = parts.isEmpty() ? QString(kProductName) : parts.join(" \u00b7 ");
    FUi->convert_method2_input1->setToolTip(selection.empty() ? QString() : text);
    ShowStatus(text);
}

RunObserver TFormTest::StatusObserver() {
    RunObserver observer = FRunObserver;
    observer.OnEntryDrawing = [this, next = FRunObserver.OnEntryDrawing](const EntryEvent& e) {
        FProgress.Names[e.Index] = e.Path;
        ShowRunStatus();
        if (next) {
            next(e);
        }
    };
    observer.OnEntryDrawn = [this, next = FRunObserver.OnEntryDrawn](const EntryEvent& e) {
        ++FProgress.Drawn;
        ShowRunStatus();
        if (next) {
            next(e);
        }
    };
    observer.OnEntryWritten = [this, next = FRunObserver.OnEntryWritten](const EntryEvent& e) {
        FProgress.Names.erase(e.Index);
        FProgress.Written = e.Index + 1;
        // Named in full: a run with no folder chosen writes to the working folder, which a
        // desktop launcher does not show.
        FProgress.Folder = std::filesystem::absolute(e.Path).parent_path().string();
        if (FProgress.Folder.back() != '/') {
            FProgress.Folder += '/';
        }
        ShowRunStatus();
        if (next) {
            next(e);
        }
    };
    return observer;
}

void TFormTest::ShowRunStatus() {
    const RunProgress& run = FProgress;
    if (!run.Shown || run.Written >= run.Count) {
        return;
    }
    QString text = "Page " + QString::number(run.Written + 1) + " of " + QString::number(run.Count);
    if (const auto name = run.Names.find(run.Written); name != run.Names.end()) {
        text += " \u00b7 " + PathText(name->second.substr(name->second.rfind('/') + 1));
    }
    if (run.Drawn > 0) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - run.Start).count();
        const double left =
            elapsed / static_cast<double>(run.Drawn) * static_cast<double>(run.Count - run.Drawn);
        text += " \u00b7 about " + Duration(static_cast<std::int64_t>(std::ceil(left))) + " left";
    }
    ShowStatus(text);
}

ConversionSettings TFormTest::ReadSettings() const {
    ConversionSettings settings;
    settings.InputFileName = PathOf(FUi->input_filename->text());
    settings.InputPassword = _input_password;
    settings.ConvertMethod = FUi->r_convert_method2->isChecked() ? cmPageSelection : cmAllPages;
    settings.PageSelection = FUi->convert_method2_input1->text().toStdString();
    settings.ImageType = FUi->dropdown_image_type->currentText().toStdString();
    settings.Resolution =
        ParsePageNumber(FUi->dropdown_image_resolution->currentText().toStdString());
    settings.BaseFileName = PathOf(FUi->export_base_filename->text());
    settings.DestinationFolder = PathOf(FUi->export_destination_folder->text());
    return settings;
}

void TFormTest::ShowNotice(const std::string& text) {
    SetBusy(false);
    FDialogs.ShowNotice(text);
}

void TFormTest::SetBusy(bool on) {
    // The window's own cursor, not the application's: Stop keeps its arrow, dialogs theirs.
    if (on) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

void TFormTest::SetProgressVisible(bool on) {
    if (!on && FRunNotifier) {
        FRunNotifier->setEnabled(false); // the run's workers go with its clean-up
    }
    // While a run goes on, Stop takes the bar's last stretch.
    constexpr int kStopWidth = 75;
    constexpr int kGap = 8;
    QRect bar = FUi->ProgressBar->geometry();
    bar.setWidth(on ? FBarWidth - kStopWidth - kGap : FBarWidth);
    FUi->ProgressBar->setGeometry(bar);
    FStopButton->setGeometry(bar.x() + FBarWidth - kStopWidth, bar.y() - 2, kStopWidth,
                             bar.height() + 4);
    FUi->ProgressBar->setVisible(on);
    FStopButton->setVisible(on);
    if (on) {
        FProgress = RunProgress{};
        FProgress.Start = std::chrono::steady_clock::now();
        FProgress.Shown = true;
        ShowRunStatus();
        FRunClock.start();
        return;
    }
    FRunClock.stop();
    // The run's clean-up, however it ended: what was written, and where.
    const RunProgress run = std::exchange(FProgress, RunProgress{});
    QString text =
        run.Written == run.Count
            ? Count(run.Written, "file", "files") + " written"
            : QString("%1 of %2 written").arg(run.Written).arg(Count(run.Count, "file", "files"));
    if (run.Written > 0) {
        text += " to " + PathText(run.Folder);
    }
    ShowStatus(text, run.Written > 0 ? run.Folder : std::string());
}

void TFormTest::SetProgressMax(int max) {
    FUi->ProgressBar->setRange(0, max);
    FProgress.Count = max;
    ShowRunStatus();
}

void TFormTest::SetProgressPosition(int position) {
    FUi->ProgressBar->setValue(position);
}

void TFormTest::SetConvertControlsEnabled(bool on) {
    // A focused button that goes off would hand the focus to the next edit, its text selected
    // for the next key to replace: the tabs hold it meanwhile, and the button gets it back.
    QWidget* focused = focusWidget();
    for (QPushButton* button : {FUi->select_input_button, FUi->export_button}) {
        if (!on && button == focused) {
            FRefocus = button;
            FUi->PageControl1->setFocus(Qt::OtherFocusReason);
        }
        button->setEnabled(on);
    }
    if (on && FRefocus != nullptr) {
        std::exchange(FRefocus, nullptr)->setFocus(Qt::OtherFocusReason);
    }
}

} // namespace folioxa
