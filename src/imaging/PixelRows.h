#pragma once

#include <cstddef>
#include <cstdint>

namespace folioxa {

// `count` page-bitmap pixels (blue, green, red, fourth byte) as red, green, blue, 3 bytes each;
// the fourth byte is dropped. `out` holds 3 * count bytes.
void BgrxToRgb(const std::uint8_t* in, std::uint8_t* out, std::size_t count);

} // namespace folioxa
