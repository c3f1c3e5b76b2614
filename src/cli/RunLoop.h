#pragma once

#include "pool/PooledConversion.h"
#include "pool/SignalPipe.h"

namespace folioxa {

// Processes `run` until it has finished or one of the signals `signals` notes arrives (made
// before the run, so that none ends it with a file half written); returns that signal, 0 when
// the run finished. The signals act as before once it returns. Throws Error when the workers
// cannot be waited for, and what Process throws.
int RunUntilSignal(TPooledConversion& run, TSignalPipe& signals);

} // namespace folioxa
