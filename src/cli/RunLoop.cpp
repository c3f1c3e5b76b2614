#include "cli/RunLoop.h"

#include "base/Error.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace folioxa {

int RunUntilSignal(TPooledConversion& run, TSignalPipe& signals) {
    int signal = 0;
    while (!run.Finished() && (signal = signals.Take()) == 0) {
        pollfd events[] = {{run.EventFd(), POLLIN, 0}, {signals.Fd(), POLLIN, 0}};
        if (poll(events, 2, -1) < 0 && errno != EINTR) {
            throw Error(std::string("Cannot wait for the page workers: ") + std::strerror(errno));
        }
        if (events[1].revents == 0) {
            run.Process();
        }
    }
    return signal != 0 ? signal : signals.Release();
}

} // namespace folioxa
