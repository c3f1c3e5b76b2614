#pragma once

#include "base/Error.h"

#include <string>

namespace folioxa {

// A text that should have been a whole number was not ("'%s' is not a valid integer value").
class EConvertError : public Error {
public:
    explicit EConvertError(const std::string& message) : Error(ErrorKind::Convert, message) {}
};

// A range item lacked one of its bounds ("List index out of bounds (%d)").
class EListError : public Error {
public:
    explicit EListError(const std::string& message) : Error(ErrorKind::List, message) {}
};

// The run's document could not be opened (missing, not a PDF, refused password, no engine); the
// text is the opening's own.
class EOpenError : public Error {
public:
    explicit EOpenError(const std::string& message) : Error(ErrorKind::Open, message) {}
};

// A page the run cannot turn into an image (smaller than a pixel, larger than the engine allows).
class EPageSizeError : public Error {
public:
    explicit EPageSizeError(const std::string& message) : Error(ErrorKind::PageSize, message) {}
};

inline constexpr const char* kChooseFileNotice = "Choose a PDF file to convert to images!";
inline constexpr const char* kInvalidRangeNotice = "Invalid page range provided!";
inline constexpr const char* kSkippedRangeNotice =
    "The following page range is invalid and was skipped: ";
inline constexpr const char* kCompleteNotice = "Conversion complete!";

// The text a failure is shown with: a period is appended when the last character sorts above
// "." (so "...value" gains one, "...!" and "...)" do not). The window and the command-line
// converter both show failures through this.
std::string DisplayText(const std::string& message);

} // namespace folioxa
