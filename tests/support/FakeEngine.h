#pragma once

// The tests' stand-in for the pdfium engine: FakeEngine.cpp is built as a libpdfium.so of its own
// (in FOLIOXA_FAKE_ENGINE_DIR), which a test puts first on LD_LIBRARY_PATH of the program or the
// worker it starts. Its documents are text files:
//
//   fake-pdf              the first line: anything else fails to load as "not a PDF"
//   pages 3               page count (default 1)
//   size 144 72           every page's width and height in points (default 144 x 72)
//   password secret       the document opens only with this password
//   hang-on-open          opening it never returns
//   crash-on 2            drawing page 2 ... dereferences a null pointer (SIGSEGV)
//   abort-on 2            ... calls abort(), as the engine does when it cannot allocate
//   hang-on 2             ... never returns
//   tls-abort-on 2        ... ends as glibc does when thread-local data cannot be allocated
//   allocate-mb 2 4000    ... allocates and touches 4000 MB (abort() when refused)
//   probe-on 2 WORDS      ... runs the sandbox probes at the targets SandboxProbeWords gave and
//                         draws their result over the page (SandboxProbe.h)
//   attack-on 2 NAME ...  ... performs an attack, in the hostile engine only (HostileEngine.h)
//   load-attack-on 2 NAME ...  loading page 2 performs it (no pixels to mark then)
//
// Every page is first filled with FakePageRgb(page), so a test can tell which page a file holds.

#include <cstdint>
#include <string>
#include <vector>

namespace folioxa::testing {

// The colour (0xRRGGBB) the fake engine fills page `page` (1-based) with.
constexpr std::uint32_t FakePageRgb(int page) {
    const auto p = static_cast<std::uint32_t>(page);
    return ((p * 37U) & 0xFFU) << 16 | 0x80U << 8 | ((255U - p * 11U) & 0xFFU);
}

// The text of a fake document: the header line, then `lines`.
std::string FakePdf(const std::vector<std::string>& lines);

// The folder holding the fake libpdfium.so, for the front of LD_LIBRARY_PATH.
std::string FakeEngineFolder();

// The environment of this process with `folder` first on LD_LIBRARY_PATH, for a program started
// from it; FakeEngineEnvironment() with the fake engine's folder.
std::vector<std::string> EngineEnvironment(const std::string& folder);
std::vector<std::string> FakeEngineEnvironment();

// Whether `png` (a file's bytes) holds page `page` as the fake engine draws it: every pixel in
// its colour.
bool IsFakePage(const std::string& png, int page);

} // namespace folioxa::testing
