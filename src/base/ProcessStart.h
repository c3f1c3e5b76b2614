#pragma once

namespace folioxa {

// What both programs do first, before they open anything: descriptors 0, 1 and 2 that were
// closed are opened on /dev/null, so that no file opened later becomes the standard output or
// error that a message would then be written into; and the soft limit of open descriptors is
// raised to the hard one, so that a call with thousands of documents is bound by what the
// system allows, not by a shell's default. Neither throws; what cannot be done stays as it was.
void PrepareProcess();

} // namespace folioxa
