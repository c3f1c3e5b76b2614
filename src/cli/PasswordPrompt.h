#pragma once

#include "cli/Tool.h"
#include "conversion/PasswordRetry.h"

#include <string>

namespace folioxa {

// The password of --password-stdin: the first line of stdin, or, on a terminal, typed with the
// echo off. A trailing carriage return is dropped; empty when there is none.
std::string ReadStdinPassword(ToolEnvironment& env);

// The one prompt for a refused document's password, "Password for NAME: ", which sets
// `prompted` once answered; none (empty) with --password-stdin or without a terminal.
PasswordQuestion DocumentPasswordQuestion(ToolEnvironment& env, bool passwordFromStdin,
                                          const std::string& name, bool& prompted);

} // namespace folioxa
