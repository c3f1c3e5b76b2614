#include "app/Main.h"

#include "app/StartUp.h"
#include "base/ProcessStart.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <csignal>

int main(int argc, char* argv[]) {
    // Decided before the application object exists, so "/remove" also works without a display.
    if (argc > 1 && folioxa::IsRemoveSwitch(argv[1])) {
        return 0;
    }
    folioxa::PrepareProcess();
    folioxa::InstallTerminationHandler();
    // A file size limit must fail the page's write ("Stream write error"), which removes its
    // hidden file, not end the window and leave the file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(":/folioxa.svg"));
    QGuiApplication::setDesktopFileName("folioxa");
    folioxa::WatchTermination();

    folioxa::TFormTest FormTest;
    FormTest.show();
    // "Open with": the file is selected once the window shows, its password asked for over it.
    if (const auto file = argc > 1 ? folioxa::FileArgument(argv[1]) : std::nullopt) {
        QTimer::singleShot(0, &FormTest, [&FormTest, file] { FormTest.OpenFile(*file); });
    }
    QApplication::exec();
    return 0;
}
