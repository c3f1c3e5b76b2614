#pragma once

#include "app/QtPdfTimer.h"
#include "conversion/ConversionJob.h"
#include "conversion/ConversionSettings.h"
#include "conversion/ConversionView.h"
#include "pdf/PDFium.h"

#include <QMainWindow>

#include <memory>
#include <string>

namespace Ui {
class TFormTest;
}

namespace folioxa {

class Dialogs;

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

    // The window's document component, inactive between operations.
    TPdf& Pdf() { return FPdf; }
    // The password that opened the selected document; empty when it needed none.
    const std::string& InputPassword() const { return _input_password; }
    // Watches the entries of the runs to come (the tests see the window as each file is written).
    void SetRunObserver(RunObserver observer) { FRunObserver = std::move(observer); }

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
    void link_websiteLinkClick(const QString& link);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowProgramIdentity();
    void StartConversion();
    ConversionSettings ReadSettings() const;
    bool SetInputFile(const std::string& path);
    InputDocument OpenInputDocument(const std::string& path);

    std::unique_ptr<Ui::TFormTest> FUi;
    std::unique_ptr<Dialogs> FOwnDialogs;
    Dialogs& FDialogs;
    // Declared before the component, which may still stop it while it is destroyed.
    QtPdfTimer FPdfTimer;
    TPdf FPdf;
    std::string _input_password;
    RunObserver FRunObserver;
    bool FBusy = false;
};

// The face `family` when the system has it, else the default sans-serif face, `pixelHeight`
// pixels high either way.
QFont UiFont(const QString& family, int pixelHeight);

// The documentation installed with the program, which the About page links to.
QString DocumentationUrl();

} // namespace folioxa
