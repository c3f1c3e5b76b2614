#include "app/QtPdfTimer.h"

namespace folioxa {

QtPdfTimer::QtPdfTimer() {
    // The callback is looked up at each tick, so a later Start replaces it without reconnecting;
    // a copy runs, since the callback may itself call Stop or Start.
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
        const std::function<void()> onTimeout = FOnTimeout;
        if (onTimeout) {
            onTimeout();
        }
    });
}

void QtPdfTimer::Start(int intervalMs, std::function<void()> onTimeout) {
    FOnTimeout = std::move(onTimeout);
    FTimer.start(intervalMs < 0 ? 0 : intervalMs);
}

void QtPdfTimer::Stop() {
    FTimer.stop();
    FOnTimeout = nullptr;
}

} // namespace folioxa
