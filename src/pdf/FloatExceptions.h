#pragma once

#include <cfenv>

namespace folioxa {

// Masks every floating-point exception for its lifetime (the engine's arithmetic must never
// trap while it loads or draws a page) and restores the host's masks and its sticky flags on
// the way out, whether the guarded step succeeded or threw.
class FloatExceptionMask {
public:
    FloatExceptionMask();
    ~FloatExceptionMask();
    FloatExceptionMask(const FloatExceptionMask&) = delete;
    FloatExceptionMask& operator=(const FloatExceptionMask&) = delete;

private:
    int FEnabled;
    std::fexcept_t FFlags;
};

} // namespace folioxa
