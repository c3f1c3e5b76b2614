#pragma once

#include "base/FileDescriptor.h"
#include "conversion/ConversionJob.h"
#include "conversion/ConversionSettings.h"
#include "conversion/ConversionView.h"
#include "pool/WorkerDocument.h"

#include <QMainWindow>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QLabel;
class QMimeData;
class QPushButton;
class QSocketNotifier;

namespace Ui {
class TFormTest;
}

namespace folioxa {

class Dialogs;
class TPagesTab;
class TPooledConversion;

// What opening a chosen file found: its page count (-1 when it did not open) and the password
// that opened it (empty when none was needed).
struct InputDocument {
    int PageCount = -1;
    std::string Password;
};

// The main window: every choice of a conversion, the run with its progress, the program's
// identity. Its controls carry the object names of the form Main.ui.
class TFormTest : public QMainWindow, public ConversionView {
    Q_OBJECT

public:
    // `dialogs` are the window's own Qt dialogs when null; when given they are not owned and
    // must outlive the window.
    explicit TFormTest(Dialogs* dialogs = nullptr, QWidget* parent = nullptr);
    ~TFormTest() override;

    // The window's document, inactive between operations; the page workers open it.
    TWorkerDocument& Pdf() { return FPdf; }
    // The password that opened the selected document; empty when it needed none.
    const std::string& InputPassword() const { return _input_password; }
    // Watches the entries of the runs to come (the tests see the window as each file is written).
    void SetRunObserver(RunObserver observer) { FRunObserver = std::move(observer); }
    // Whether a run is going on: its pages are drawn by the page workers while the window lives.
    bool Running() const { return FRun != nullptr; }

    // ConversionView: what a run shows on the window. None of them throws.
    void ShowNotice(const std::string& text) override;
    void SetBusy(bool on) override;
    void SetProgressVisible(bool on) override;
    void SetProgressMax(int max) override;
    void SetProgressPosition(int position) override;
    void SetConvertControlsEnabled(bool on) override;

    // The event handlers, connected to their controls in the constructor. Failures end in the
    // error display; none throws.
    void FormShow();
    void select_input_buttonClick();
    void cmd_split_destClick();
    void export_buttonClick();
    void stop_buttonClick();
    void link_websiteLinkClick(const QString& link);

    // Selects `path` as Select would (its password prompt included): the file the program was
    // started on. False when it did not open.
    bool OpenFile(const std::string& path);

protected:
    void showEvent(QShowEvent* event) override;
    // Closing stops a run first, as Stop does; while a worker opens a document the close waits
    // until it has.
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // One PDF file dropped on the window is selected as Select would.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Enter on the Convert page (outside a button, which takes it itself) starts Convert.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowProgramIdentity();
    void StartConversion();
    ConversionSettings ReadSettings() const;
    bool SetInputFile(const std::string& path);
    InputDocument OpenInputDocument(const std::string& path);
    void ProcessRun();
    void EndRun();
    void CloseWhenIdle();
    // The status bar's one panel: plain text, cut in the middle to fit; the folder button shows
    // only with a text that names a folder.
    void ShowStatus(const QString& text, const std::string& folder = {});
    // The page count, or what the typed selection names and what lies beyond the document.
    void ShowSelectionCheck();
    // Observes the run for the status bar, then hands each event to the tests' observer.
    RunObserver StatusObserver();
    void ShowRunStatus();
    // Why a drag cannot be dropped here; empty when it can.
    QString DropRefusal(const QMimeData* mime) const;

    // What the status bar shows of the run going on.
    struct RunProgress {
        std::int64_t Count = 0;
        std::int64_t Written = 0;
        std::int64_t Drawn = 0;
        std::chrono::steady_clock::time_point Start;
        std::map<std::int64_t, std::string> Names; // entries being drawn or waiting to be written
        std::string Folder;                        // where the files went
        bool Shown = false;
    };

    std::unique_ptr<Ui::TFormTest> FUi;
    std::unique_ptr<Dialogs> FOwnDialogs;
    Dialogs& FDialogs;
    QPushButton* FStopButton; // owned by the Convert page
    int FBarWidth = 0;        // the progress bar's width in the form
    TWorkerDocument FPdf{"Pdf"};
    std::string _input_password;
    int FPageCount = -1;       // of the selected document; -1 before one is selected
    QLabel* FStatus = nullptr; // owned by the status bar
    QPushButton* FOpenFolder = nullptr;
    TPagesTab* FPages;           // owned by the tab control
    QWidget* FRefocus = nullptr; // the button that had the focus when a run turned it off
    QString FStatusText;         // the status as last set, which a drop's hint covers for a while
    std::string FStatusFolder;   // the folder the status names, which the button opens
    RunProgress FProgress;
    QTimer FRunClock;
    bool FDropHint = false; // the status says what a drop would select
    RunObserver FRunObserver;
    bool FCloseWhenIdle = false;
    // The run going on and what wakes the window for it; its own copy of the run's descriptor,
    // so that the descriptor outlives the run's end inside its own handler.
    std::unique_ptr<TPooledConversion> FRun;
    FileDescriptor FRunEvents;
    std::unique_ptr<QSocketNotifier> FRunNotifier;
};

// The face `family` when the system has it, else the default sans-serif face, `pixelHeight`
// pixels high either way.
QFont UiFont(const QString& family, int pixelHeight);

// The documentation installed with the program, which the About page links to.
QString DocumentationUrl();

} // namespace folioxa
