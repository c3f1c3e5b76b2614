#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace folioxa {

// What kind of failure an error is, carried by the error itself, so that a failure can cross
// the workers' socket and be told apart without comparing texts or classes.
enum class ErrorKind : std::uint32_t {
    Other,
    OutOfMemory, // memory for a bitmap, a picture copy or an encoder buffer
    CreateFile,  // an output file could not be created
    Write,       // an output file could not be written
    Jpeg,        // libjpeg refused the picture
    Convert,     // a text that should have been a whole number was not
    List,        // a range item lacked one of its bounds
    PageSize,    // a page the run cannot turn into an image
    Pdf,         // the PDF engine or the document component failed
    Password,    // the document's password was refused (or it needs one)
    Open,        // the run's document could not be opened
    Usage,       // the command line was not understood
    Protocol,    // a page worker broke the protocol of the wire
};
inline constexpr ErrorKind kLastErrorKind = ErrorKind::Protocol;

// The one exception family: every failure a user can meet carries exactly the text shown to them,
// and its kind.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : Error(ErrorKind::Other, message) {}
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), FKind(kind) {}

    ErrorKind Kind() const { return FKind; }

private:
    ErrorKind FKind;
};

// Memory for a bitmap, a picture copy or an encoder buffer could not be had.
class EOutOfMemory : public Error {
public:
    explicit EOutOfMemory(const std::string& message) : Error(ErrorKind::OutOfMemory, message) {}
};

// The kind of any exception: an Error's own, OutOfMemory for std::bad_alloc, else Other.
ErrorKind KindOf(const std::exception& error);

} // namespace folioxa
