// The window's Pages tab on a large document, offscreen: the document selected, the tab brought
// to the front, the pictures in view waited for, then every page scrolled through one screen at a
// time. Reports the times and the window process's resident memory (the pictures are drawn in a
// page worker; the window keeps at most TPagesTab::kCached of them).
//   pages_bench FILE.pdf
#include "app/Dialogs.h"
#include "app/Main.h"
#include "app/PagesTab.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

class BenchDialogs : public folioxa::Dialogs {
public:
    std::string File;
    std::optional<std::string> OpenPdfFile() override { return File; }
    std::string InputPassword(const std::string&, const std::string&,
                              const std::string& defaultText) override {
        return defaultText;
    }
    std::optional<std::string> BrowseFolder(const std::string&) override { return {}; }
    void ShowNotice(const std::string& text) override {
        std::fprintf(stderr, "pages_bench: %s\n", text.c_str());
    }
    void ShowError(const std::string& text) override { ShowNotice(text); }
    void ShellOpen(const std::string&, const std::string&) override {}
};

double ResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

// Turns the event loop until the tab has drawn what it was asked for.
void WaitForPictures(const folioxa::TPagesTab& tab) {
    QApplication::processEvents();
    while (tab.Drawing()) {
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.pdf\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    BenchDialogs dialogs;
    dialogs.File = argv[1];
    folioxa::TFormTest window(&dialogs);
    window.show();
    QApplication::processEvents();
    const double before = ResidentMb();

    QElapsedTimer clock;
    clock.start();
    window.findChild<QPushButton*>("select_input_button")->click();
    const double selected = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    auto* tab = window.findChild<folioxa::TPagesTab*>("TabPages");
    const int pages = tab->List()->count();

    clock.restart();
    window.findChild<QTabWidget*>("PageControl1")->setCurrentWidget(tab);
    QApplication::processEvents();
    const double shown = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    WaitForPictures(*tab);
    const double firstScreen = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    const std::size_t firstPictures = tab->DrawnPages().size();

    clock.restart();
    QScrollBar* bar = tab->List()->verticalScrollBar();
    while (bar->value() < bar->maximum()) {
        bar->setValue(bar->value() + bar->pageStep());
        WaitForPictures(*tab);
    }
    const double all = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    std::printf("pages %d\nselect %.0f ms\ntab shown %.0f ms\nfirst screen drawn %.0f ms (%zu "
                "pictures)\nevery page scrolled through and drawn %.0f ms\npictures kept %zu\n"
                "window resident %.0f MB before, %.0f MB after\n",
                pages, selected, shown, firstScreen, firstPictures, all, tab->DrawnPages().size(),
                before, ResidentMb());
    return 0;
}
