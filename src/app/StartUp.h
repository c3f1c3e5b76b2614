#pragma once

#include <optional>
#include <string>

namespace folioxa {

// True when `argument`, without its leading and trailing characters of code 32 or below, is
// exactly "/remove" (letter case counts).
bool IsRemoveSwitch(const std::string& argument);

// The document the program was started on ("Open with"): `argument` as an absolute path, so
// that the files go beside it and not to whatever folder the program was started in; nothing
// for an empty argument.
std::optional<std::string> FileArgument(const std::string& argument);

// From now on SIGTERM, SIGINT and SIGHUP are only noted; WatchTermination turns a noted signal
// into closing the windows, so the program ends through its event loop with exit code 0.
// Call once, before the application object exists. Returns false, leaving the signals as they
// were, when the pipe that carries them cannot be made.
bool InstallTerminationHandler();

// Starts watching for the signals InstallTerminationHandler notes; needs the application object.
void WatchTermination();

} // namespace folioxa
