#include "cli/DocumentInput.h"

#include "conversion/AvailableMemory.h"
#include "conversion/Messages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace folioxa {

namespace {

constexpr std::uint64_t kMaxSpool = std::uint64_t{4} << 30;
// The engine takes a file whose header lies within its first kilobyte.
constexpr std::size_t kHeaderWindow = 1024;
constexpr const char* kNotPdf = "File not in PDF format or corrupted";

std::string SystemText() {
    return std::strerror(errno);
}

std::string FolderMessage(const std::string& what) {
    return what + " is a folder, not a PDF file";
}

// All of `from` in an unnamed file of this process, which the workers can share: the engine
// reads a document at offsets, which a pipe cannot give.
FileDescriptor Spool(int from, const std::string& what, std::uint64_t limit) {
    FileDescriptor copy(memfd_create("folioxa-input", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!copy) {
        throw EOpenError("Cannot keep the PDF read from " + what + ": " + SystemText());
    }
    std::string head; // the first kilobyte, where the header must be
    std::uint64_t total = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw EOpenError("Cannot read the PDF from " + what + ": " + SystemText());
        }
        const auto size = static_cast<std::size_t>(got);
        const bool checked = head.size() == kHeaderWindow;
        head.append(buffer, std::min(size, kHeaderWindow - head.size()));
        // Refused as soon as the header cannot come any more: endless noise is never kept.
        if (!checked && (head.size() == kHeaderWindow || size == 0) &&
            head.find("%PDF-") == std::string::npos) {
            throw EOpenError(kNotPdf);
        }
        if (size == 0) {
            // Sealed before a worker gets it: a worker can neither change the document the
            // other workers read nor make the file grow.
            if (fcntl(copy.Get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK) != 0) {
                throw EOpenError("Cannot keep the PDF read from " + what + ": " + SystemText());
            }
            return copy;
        }
        total += size;
        if (total > limit) {
            throw EOpenError("The PDF read from " + what + " is larger than " +
                             std::to_string(limit >> 20) +
                             " MB, the most kept in memory: save it to a file and name that file");
        }
        if (!WriteAll(copy.Get(), buffer, size)) {
            throw EOpenError("Cannot keep the PDF read from " + what + ": " + SystemText());
        }
    }
}

} // namespace

std::uint64_t SpoolLimit() {
    const std::optional<std::uint64_t> available = AvailableMemory();
    return available ? std::min(kMaxSpool, *available / 2) : kMaxSpool;
}

std::shared_ptr<FileDescriptor> SharedInput(const std::string& name, int stdinFd,
                                            std::uint64_t spoolLimit) {
    const std::string what = name == "-" ? "stdin" : "\"" + name + "\"";
    FileDescriptor input;
    if (name == "-") {
        input.Reset(fcntl(stdinFd, F_DUPFD_CLOEXEC, 3));
        if (!input) {
            throw EOpenError("Cannot read the PDF from stdin: " + SystemText());
        }
    } else {
        struct stat status {};
        if (::stat(name.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
            return nullptr;
        }
        if (S_ISDIR(status.st_mode)) {
            throw EOpenError(FolderMessage(what));
        }
        input.Reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
        if (!input) {
            throw EOpenError("Cannot open " + what + ": " + SystemText());
        }
    }
    struct stat status {};
    if (::fstat(input.Get(), &status) == 0 && S_ISREG(status.st_mode)) {
        return std::make_shared<FileDescriptor>(std::move(input));
    }
    if (S_ISDIR(status.st_mode)) {
        throw EOpenError(FolderMessage(what));
    }
    return std::make_shared<FileDescriptor>(
        Spool(input.Get(), name == "-" ? "stdin" : name, spoolLimit));
}

} // namespace folioxa
