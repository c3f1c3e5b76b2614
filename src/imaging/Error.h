#pragma once

#include <stdexcept>
#include <string>

namespace folioxa {

// The one exception family: every failure a user can meet carries exactly the text shown to them.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Memory for a bitmap, a picture copy or an encoder buffer could not be had.
class EOutOfMemory : public Error {
public:
    using Error::Error;
};

} // namespace folioxa
