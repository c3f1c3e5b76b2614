#include "pdf/FloatExceptions.h"

namespace folioxa {

FloatExceptionMask::FloatExceptionMask() : FEnabled(fegetexcept()), FFlags() {
    fegetexceptflag(&FFlags, FE_ALL_EXCEPT);
    fedisableexcept(FE_ALL_EXCEPT);
}

FloatExceptionMask::~FloatExceptionMask() {
    // The engine's own sticky flags go first: unmasking a trap with its flag still raised would
    // fault the host's next floating-point instruction.
    fesetexceptflag(&FFlags, FE_ALL_EXCEPT);
    feenableexcept(FEnabled);
}

} // namespace folioxa
