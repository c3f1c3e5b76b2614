#pragma once

#include <string>

namespace folioxa {

// `text` with every control character (C0, DEL, and C1 as UTF-8 sequences) shown as \xHH, so that a
// file name, an entry text or a worker's output cannot drive the terminal it is printed on.
std::string Printable(const std::string& text);

} // namespace folioxa
