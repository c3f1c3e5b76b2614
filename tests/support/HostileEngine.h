#pragma once

// The tests' compromised engine: FakeEngine.cpp built once more, with the attacks of
// HostileEngine.cpp, as a libpdfium.so in a folder of its own (HostileEngineFolder()). It draws
// pages as the fake engine does; a document line
//
//   attack-on 2 NAME WORDS...
//
// makes drawing page 2 (inside the render call, so after the worker confined itself) perform
// attack NAME. An attack that reached beyond the worker marks the page with a black square at
// its top left (IsFakePage then fails); those whose harm lies outside (what was printed, a
// terminal's settings, a process left running) leave the page as it is and the test looks there.
// The attacks, each one row of kAttacks in HostileEngine.cpp:
//
//   truncate-stdio         ftruncate descriptors 0, 1 and 2 to nothing
//   punch-stdio            fallocate a hole over the first gigabyte of 0, 1 and 2
//   escape-sequences       a window title, an OSC 52 clipboard write and a screen clear, raw, on
//                          stdout and stderr
//   forged-summary         a {"type":"summary",...} record line on stdout and stderr
//   read-stdin             reads descriptor 0 (marks the page when anything came)
//   take-terminal          opens /dev/tty; joins the parent's process group; on 0, 1, 2 and the
//                          tty turns the echo off and makes its own group the foreground
//   read-environment NAME  marks the page when variable NAME is set
//   renice PID [UID]       nice 19 for process PID, its process group and user UID (when given)
//   keep-alive             prctl(PR_SET_PDEATHSIG, 0), says "keep-alive PID" on stderr, then
//                          waits for ever
//   threads                starts threads that wait for ever until refused (64 at most, so a
//                          broken filter cannot take the machine)
//   fork                   forks a child that exits
//
// Attacks on the wire: frames of their own on the worker's socket, about entry INDEX (the entry's
// place in the list, counted from 0), in the middle of the worker's own exchange.
//   send-descriptor INDEX  a Drawn frame with a descriptor riding on it
//   oversized-frame INDEX  a Failed frame announcing 300 MB
//   long-failure INDEX N   a Failed frame whose text is N bytes
//   escaped-failure INDEX  a Failed frame whose text holds a terminal's escape sequences
//   out-of-stage INDEX     an Opened frame, while a page is drawn
//   open-failure INDEX     a Failed frame of the kind only an opening run may fail with
//   drawn-1x1 INDEX        a Drawn frame of 1 x 1 pixels (with load-attack-on, while the page
//                          loads: before any buffer was given)
//   false-size INDEX W H   a PageSize frame of W x H points (load-attack-on, before the real one)
//   shell-pixels           writes a shell script over the page's pixels
// The rows a test runs, with what each must end in: WireAttacks() (AttackTargets.h).

#include <cstddef>
#include <string>
#include <vector>

namespace folioxa::testing {

// Whether `words` (an attack's name, then its words) name an attack.
bool IsAttack(const std::vector<std::string>& words);
// Performs the attack `words` name, with the pixels of the page being drawn (null while it is
// loaded); true when it reached beyond the worker.
bool RunAttack(const std::vector<std::string>& words, unsigned char* pixels = nullptr,
               std::size_t bytes = 0);

// The folder holding the hostile libpdfium.so, for the front of LD_LIBRARY_PATH.
std::string HostileEngineFolder();

// The environment of this process with the hostile engine first on LD_LIBRARY_PATH.
std::vector<std::string> HostileEngineEnvironment();

} // namespace folioxa::testing
