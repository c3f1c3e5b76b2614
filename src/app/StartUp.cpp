#include "app/StartUp.h"

#include "base/Error.h"
#include "pool/SignalPipe.h"

#include <QApplication>
#include <QSocketNotifier>

#include <filesystem>

namespace folioxa {

namespace {

// Notes the signals for the whole life of the process.
TSignalPipe* gTermination = nullptr;

} // namespace

bool IsRemoveSwitch(const std::string& argument) {
    std::size_t first = 0;
    std::size_t last = argument.size();
    while (first < last && static_cast<unsigned char>(argument[first]) <= 32) {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(argument[last - 1]) <= 32) {
        --last;
    }
    return argument.compare(first, last - first, "/remove") == 0;
}

std::optional<std::string> FileArgument(const std::string& argument) {
    if (argument.empty()) {
        return std::nullopt;
    }
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(argument, error);
    return error ? argument : path.lexically_normal().string();
}

bool InstallTerminationHandler() {
    try {
        gTermination = new TSignalPipe(); // never freed: it serves until the process ends
    } catch (const Error&) {
        return false;
    }
    return true;
}

void WatchTermination() {
    if (gTermination == nullptr) {
        return;
    }
    auto* notifier = new QSocketNotifier(gTermination->Fd(), QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        gTermination->Take();
        // Closing the dialogs first lets a modal one return, as if cancelled. Then every event
        // loop ends, the nested ones too: quit() is refused while a window stays open, and the
        // window stays open while it waits for a worker, which may never answer.
        QApplication::closeAllWindows();
        QCoreApplication::exit(0);
    });
}

} // namespace folioxa
