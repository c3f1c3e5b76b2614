#pragma once

#include "pdf/PdfTimer.h"

#include <QTimer>

namespace folioxa {

// The engine's form-fill timer on the window's event loop: it fires only while that loop runs.
class QtPdfTimer : public PdfTimer {
public:
    QtPdfTimer();
    void Start(int intervalMs, std::function<void()> onTimeout) override;
    void Stop() override;
    bool IsActive() const { return FTimer.isActive(); }

private:
    QTimer FTimer;
    std::function<void()> FOnTimeout;
};

} // namespace folioxa
