#include "app/Main.h"

#include "app/StartUp.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    // Decided before the application object exists, so "/remove" also works without a display.
    if (argc > 1 && folioxa::IsRemoveSwitch(argv[1])) {
        return 0;
    }
    folioxa::InstallTerminationHandler();
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(":/folioxa.svg"));
    QGuiApplication::setDesktopFileName("folioxa");
    folioxa::WatchTermination();

    folioxa::TFormTest FormTest;
    FormTest.show();
    QApplication::exec();
    return 0;
}
