#include "app/Main.h"

#include "app/Dialogs.h"
#include "app/ErrorDisplay.h"
#include "app/RegistryAccess.h"
#include "conversion/ConversionJob.h"
#include "conversion/OutputFileNaming.h"
#include "conversion/PageSelection.h"
#include "pool/PooledConversion.h"
#include "ui_Main.h"

#include <poll.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMimeData>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QTextDocument>
#include <QUrl>

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
    FStopButton->hide();
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
    FUi->StatusBar1->addWidget(panel, /*stretch=*/1);

    // The two texts only the window fills look like the menu, not like something to type in.
    for (QLineEdit* edit : {FUi->input_filename, FUi->export_destination_folder}) {
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window));
        edit->setPalette(palette);
    }

    const QString url = DocumentationUrl();
    const QFontMetrics metrics(FUi->link_website->font());
    const QString shown = metrics.elidedText(url, Qt::ElideMiddle, FUi->link_website->width());
    FUi->link_website->setText(
        QString("<a href=\"%1\">%2</a>").arg(url.toHtmlEscaped(), shown.toHtmlEscaped()));
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
}

TFormTest::~TFormTest() {
    EndRun();
    if (FBusy) {
        QApplication::restoreOverrideCursor();
    }
}

void TFormTest::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Only when the program shows the window, not when the desktop restores it.
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TFormTest::FormShow() {
    RunHandler(FDialogs, [this] {
        ShowProgramIdentity();
        FUi->PageControl1->setCurrentWidget(FUi->TabExport);
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

bool TFormTest::SetInputFile(const std::string& path) {
    const InputDocument document = OpenInputDocument(path);
    if (document.PageCount == -1) {
        return false;
    }
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
    bool passwordNeeded = false;
    try {
        result.PageCount = OpenAndCountPages(FPdf, *this, path, "");
    } catch (const std::exception& e) {
        FDialogs.ShowNotice(e.what());
        passwordNeeded = KindOf(e) == ErrorKind::Password;
    }
    if (!passwordNeeded) {
        return result;
    }
    // Cancel gives the empty default, as does an empty OK: neither is worth a second attempt.
    const std::string answer = FDialogs.InputPassword(kPasswordTitle, kPasswordPrompt, "");
    if (answer.empty()) {
        return result;
    }
    try {
        result.PageCount = OpenAndCountPages(FPdf, *this, path, answer);
        result.Password = answer;
    } catch (const std::exception& e) {
        FDialogs.ShowNotice(e.what());
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
            auto run =
                std::make_unique<TPooledConversion>(settings, FPdf, *this, options, FRunObserver);
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

void TFormTest::dragEnterEvent(QDragEnterEvent* event) {
    if (!FRun && !FPdf.Busy() && DraggedPdf(event->mimeData())) {
        event->acceptProposedAction();
    }
}

void TFormTest::dropEvent(QDropEvent* event) {
    const std::optional<QString> file = DraggedPdf(event->mimeData());
    if (FRun || FPdf.Busy() || !file) {
        return;
    }
    event->acceptProposedAction();
    RunHandler(FDialogs, [this, &file] { SetInputFile(PathOf(*file)); });
    CloseWhenIdle();
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
    // Qt stacks override cursors: set and restore exactly once each.
    if (on && !FBusy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (!on && FBusy) {
        QApplication::restoreOverrideCursor();
    }
    FBusy = on;
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
}

void TFormTest::SetProgressMax(int max) {
    FUi->ProgressBar->setRange(0, max);
}

void TFormTest::SetProgressPosition(int position) {
    FUi->ProgressBar->setValue(position);
}

void TFormTest::SetConvertControlsEnabled(bool on) {
    for (QPushButton* button : {FUi->select_input_button, FUi->export_button}) {
        button->setEnabled(on);
    }
}

} // namespace folioxa
