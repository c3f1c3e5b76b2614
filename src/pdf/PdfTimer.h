#pragma once

#include <functional>

namespace folioxa {

// The repeating timer the engine's form-fill environment may ask for. The window backs it with a
// timer on its event loop; a process without an event loop uses NullPdfTimer.
class PdfTimer {
public:
    virtual ~PdfTimer() = default;
    // (Re)arms the timer: `onTimeout` runs every `intervalMs` milliseconds on the engine's thread
    // until Stop. A later Start replaces interval and callback.
    virtual void Start(int intervalMs, std::function<void()> onTimeout) = 0;
    virtual void Stop() = 0;
};

// A timer that never fires.
class NullPdfTimer : public PdfTimer {
public:
    void Start(int, std::function<void()>) override {}
    void Stop() override {}
};

} // namespace folioxa
