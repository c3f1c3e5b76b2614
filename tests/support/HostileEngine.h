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

#include <string>
#include <vector>

namespace folioxa::testing {

// Whether `words` (an attack's name, then its words) name an attack.
bool IsAttack(const std::vector<std::string>& words);
// Performs the attack `words` name; true when it reached beyond the worker.
bool RunAttack(const std::vector<std::string>& words);

// The folder holding the hostile libpdfium.so, for the front of LD_LIBRARY_PATH.
std::string HostileEngineFolder();

// The environment of this process with the hostile engine first on LD_LIBRARY_PATH.
std::vector<std::string> HostileEngineEnvironment();

} // namespace folioxa::testing
