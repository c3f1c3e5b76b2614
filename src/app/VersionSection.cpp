// Linked into the executables only: the file version that the About page reads back from the
// executable's own file. The numbers come from the project version at configure time.
#include "app/RegistryAccess.h"

#include <cstdint>

#ifndef FOLIOXA_VERSION_NUMBERS
#error "FOLIOXA_VERSION_NUMBERS must hold the four version numbers"
#endif

// `used` keeps the array, which nothing in the program refers to.
extern "C" {
__attribute__((section(FOLIOXA_VERSION_SECTION),
               used)) extern const std::uint16_t folioxa_file_version[4] = {
    FOLIOXA_VERSION_NUMBERS};
}
