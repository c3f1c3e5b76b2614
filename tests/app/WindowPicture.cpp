// Draws the window offscreen and saves its two pages as PNG files, for the documentation:
//   window_picture OUTPUT_FOLDER
#include "app/Main.h"

#include <QApplication>
#include <QTabWidget>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    folioxa::TFormTest window;
    window.show();
    QApplication::processEvents();
    auto* tabs = window.findChild<QTabWidget*>("PageControl1");
    const struct {
        const char* Page;
        const char* File;
    } pictures[] = {{"TabExport", "/window-convert.png"}, {"TabAbout", "/window-about.png"}};
    for (const auto& picture : pictures) {
        tabs->setCurrentWidget(window.findChild<QWidget*>(picture.Page));
        QApplication::processEvents();
        if (!window.grab().save(folder + picture.File)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(folder + picture.File));
            return 1;
        }
    }
    return 0;
}
