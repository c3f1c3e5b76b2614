#include "imaging/OutputFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace folioxa {

namespace {

const char* const kWriteError = "Stream write error";

[[noreturn]] void ThrowCreateError(const std::string& path, int error) {
    throw EFCreateError("Cannot create file \"" + AbsolutePath(path) + "\". " +
                        std::strerror(error));
}

} // namespace

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    if (absolute.empty()) {
        return path; // no working folder to resolve against: the path as given is all we have
    }
    return absolute.lexically_normal().string();
}

OutputFile::OutputFile(const std::string& path) {
    // No O_TRUNC: a file another writer holds must not be emptied before the lock says so.
    FHandle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (FHandle < 0) {
        ThrowCreateError(path, errno);
    }
    // Only a regular file has a length to cut and other writers to keep out; a device or a
    // pipe is written as it is (a lock on /dev/full would bar every other process from it).
    struct stat status {};
    if (::fstat(FHandle, &status) != 0 ||
        (S_ISREG(status.st_mode) &&
         (::flock(FHandle, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(FHandle, 0) != 0))) {
        const int error = errno;
        ::close(FHandle);
        FHandle = -1;
        ThrowCreateError(path, error);
    }
}

OutputFile::~OutputFile() {
    if (FHandle >= 0) {
        ::close(FHandle);
    }
}

void OutputFile::Write(const void* data, std::size_t size) {
    const auto* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(FHandle, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw EWriteError(kWriteError);
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
}

void OutputFile::WritePieces(const Piece* pieces, std::size_t count) {
    constexpr std::size_t kMaxVector = 1024; // IOV_MAX on Linux
    iovec vector[kMaxVector];
    const Piece* const end = pieces + count;
    while (pieces != end) {
        std::size_t left = 0;
        for (; pieces != end && left < kMaxVector; ++pieces) {
            if (pieces->Size > 0) { // an empty piece would make a zero-byte write look like one
                vector[left++] = {const_cast<void*>(pieces->Data), pieces->Size};
            }
        }
        iovec* next = vector;
        while (left > 0) {
            const ssize_t written = ::writev(FHandle, next, static_cast<int>(left));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                throw EWriteError(kWriteError);
            }
            // Skip the pieces that went out, and go on from where the last one stopped.
            auto done = static_cast<std::size_t>(written);
            while (left > 0 && done >= next->iov_len) {
                done -= next->iov_len;
                ++next;
                --left;
            }
            if (left > 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + done;
                next->iov_len -= done;
            }
        }
    }
}

void OutputFile::Close() {
    const int handle = FHandle;
    FHandle = -1;
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (handle >= 0 && ::close(handle) != 0 && errno != EINTR) {
        throw EWriteError(kWriteError);
    }
}

} // namespace folioxa
