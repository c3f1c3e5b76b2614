// Draws the window offscreen and saves its pages as PNG files, for the documentation; with a
// document, also its Pages tab with a selection, and the window in the middle of converting it
// (Stop beside the progress bar, the page being drawn in the status bar):
//   window_picture OUTPUT_FOLDER [DOCUMENT.pdf]
#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/PagesTab.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// The documentation's user: picks the document and a scratch folder, reads every message.
class PictureDialogs : public folioxa::Dialogs {
public:
    std::string File, Folder;
    std::optional<std::string> OpenPdfFile() override { return File; }
    std::string InputPassword(const std::string&, const std::string&,
                              const std::string& defaultText) override {
        return defaultText;
    }
    std::optional<std::string> BrowseFolder(const std::string&) override { return Folder; }
    void ShowNotice(const std::string&) override {}
    void ShowError(const std::string& text) override {
        std::fprintf(stderr, "window_picture: %s\n", text.c_str());
    }
    void ShellOpen(const std::string&, const std::string&) override {}
};

bool Save(QWidget& window, const QString& file) {
    QApplication::processEvents();
    if (!window.grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [DOCUMENT.pdf]\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    PictureDialogs dialogs;
    folioxa::TFormTest window(&dialogs);
    window.show();
    QApplication::processEvents();
    auto* tabs = window.findChild<QTabWidget*>("PageControl1");
    const struct {
        const char* Page;
        const char* File;
    } pictures[] = {{"TabExport", "/window-convert.png"}, {"TabAbout", "/window-about.png"}};
    for (const auto& picture : pictures) {
        tabs->setCurrentWidget(window.findChild<QWidget*>(picture.Page));
        if (!Save(window, folder + picture.File)) {
            return 1;
        }
    }
    if (argc == 2) {
        return 0;
    }
    tabs->setCurrentWidget(window.findChild<QWidget*>("TabExport"));
    QTemporaryDir scratch;
    dialogs.File = argv[2];
    dialogs.Folder = scratch.path().toStdString();
    window.findChild<QPushButton*>("cmd_split_dest")->click();
    window.findChild<QPushButton*>("select_input_button")->click();
    // The Pages tab once the pictures in view are drawn, a selection typed.
    auto* pages = window.findChild<folioxa::TPagesTab*>("TabPages");
    tabs->setCurrentWidget(pages);
    window.findChild<QLineEdit*>("convert_method2_input1")->setText("1-4,6,9-10");
    QApplication::processEvents();
    while (pages->Drawing()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!Save(window, folder + "/window-pages.png")) {
        return 1;
    }
    tabs->setCurrentWidget(window.findChild<QWidget*>("TabExport"));
    window.findChild<QRadioButton*>("r_convert_method1")->setChecked(true);
    window.findChild<QPushButton*>("export_button")->click();
    // A third of the way through, the picture; then Stop.
    const auto* bar = window.findChild<QProgressBar*>("ProgressBar");
    while (window.Running() && bar->value() * 3 < bar->maximum()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const bool saved = window.Running() && Save(window, folder + "/window-running.png");
    window.findChild<QPushButton*>("stop_button")->click();
    return saved ? 0 : 1;
}
