#pragma once

#include <optional>
#include <string>

namespace folioxa {

// Shows `prompt` on stderr and reads one line from stdin with the echo off, when stdin is a
// terminal; the terminal's settings come back on every way out, an interrupt included.
// Nothing when stdin is not a terminal or the line could not be read.
std::optional<std::string> AskPasswordOnTerminal(const std::string& prompt);

} // namespace folioxa
