#include "imaging/OutputFile.h"

#include "base/IoVector.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>

namespace folioxa {

namespace {

const char* const kWriteError = "Stream write error";

// Opens what a name holds without waiting on it (a FIFO) and without following a link (ELOOP).
constexpr int kOpenExisting = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

constexpr std::size_t kRandomLetters = 6;
constexpr int kNameTries = 100;

[[noreturn]] void ThrowCreateError(const std::string& path, int error) {
    throw EFCreateError("Cannot create file \"" + AbsolutePath(path) + "\". " +
                        std::strerror(error));
}

void FillRandom(unsigned char* bytes, std::size_t size) {
    if (::getrandom(bytes, size, GRND_NONBLOCK) == static_cast<ssize_t>(size)) {
        return;
    }
    // No entropy yet this early after boot: a name unlikely to be taken is enough, since the
    // file is created exclusively and another name is tried when it exists.
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t state =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(::getpid()) << 40) ^ (counter++ * 0x9E3779B97F4A7C15ULL);
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        bytes[i] = static_cast<unsigned char>(state >> 56);
    }
}

// ".NAME.XXXXXX": hidden, and ending in six letters or digits after its last dot, where every
// page's name ends in its extension, so no page can be written under it. A long name is cut so
// that the whole still fits the file system's limit.
std::string TemporaryName(const std::string& name) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::size_t kExtra = 2 + kRandomLetters;
    unsigned char random[kRandomLetters];
    FillRandom(random, sizeof random);
    std::string temporary = "." + name.substr(0, NAME_MAX - kExtra) + ".";
    for (const unsigned char byte : random) {
        temporary += kLetters[byte % (sizeof kLetters - 1)];
    }
    return temporary;
}

bool SameFile(int a, int b) {
    struct stat first {};
    struct stat second {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
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

OutputFile::OutputFile(const std::string& path) : FPath(path) {
    const auto slash = path.rfind('/');
    FName = slash == std::string::npos ? path : path.substr(slash + 1);
    if (FName.empty()) {
        ThrowCreateError(path, path.empty() ? ENOENT : EISDIR);
    }
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    FFolder.Reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!FFolder) {
        ThrowCreateError(path, errno);
    }

    FileDescriptor existing(::openat(FFolder.Get(), FName.c_str(), kOpenExisting));
    if (!existing && errno != ENOENT && errno != ELOOP) {
        // Refused as a plain open would refuse it, and a FIFO without a reader (ENXIO).
        ThrowCreateError(path, errno);
    }
    if (existing) {
        struct stat status {};
        if (::fstat(existing.Get(), &status) != 0) {
            ThrowCreateError(path, errno);
        }
        if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
            // A device has no length to cut nor a folder entry to replace, and a lock on
            // /dev/full would bar every other process from it: it is written as it is.
            const int flags = ::fcntl(existing.Get(), F_GETFL);
            if (flags < 0 || ::fcntl(existing.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                ThrowCreateError(path, errno);
            }
            FFile = std::move(existing);
            return;
        }
        if (!S_ISREG(status.st_mode)) {
            ThrowCreateError(path, ENXIO); // a FIFO with a reader: refused as one without
        }
        // Held until the rename, so that no other writer that locks takes it meanwhile.
        if (::flock(existing.Get(), LOCK_EX | LOCK_NB) != 0) {
            ThrowCreateError(path, errno);
        }
        FExisting = std::move(existing);
    }

    for (int attempt = 0; attempt < kNameTries && !FFile; ++attempt) {
        std::string temporary = TemporaryName(FName);
        // 0666 under the umask: the mode a plain creation of the name would have given.
        FFile.Reset(::openat(FFolder.Get(), temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (FFile) {
            FTemporary = std::move(temporary);
        } else if (errno != EEXIST) {
            ThrowCreateError(path, errno);
        }
    }
    if (!FFile) {
        ThrowCreateError(path, EEXIST);
    }
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() noexcept {
    FFile.Reset();
    if (!FTemporary.empty()) {
        ::unlinkat(FFolder.Get(), FTemporary.c_str(), 0);
        FTemporary.clear();
    }
}

void OutputFile::Write(const void* data, std::size_t size) {
    if (!WriteAll(FFile.Get(), data, size)) {
        throw EWriteError(kWriteError);
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
            const ssize_t written = ::writev(FFile.Get(), next, static_cast<int>(left));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                throw EWriteError(kWriteError);
            }
            SkipSent(next, left, static_cast<std::size_t>(written));
        }
    }
}

void OutputFile::Close() {
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    const int handle = FFile.Release();
    if (handle >= 0 && ::close(handle) != 0 && errno != EINTR) {
        Discard();
        throw EWriteError(kWriteError);
    }
    if (FTemporary.empty()) {
        return;
    }
    // The name may have gained a file since the save began: one another program holds locked
    // is refused, as at the start.
    FileDescriptor now(::openat(FFolder.Get(), FName.c_str(), kOpenExisting));
    struct stat status {};
    if (now && ::fstat(now.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
        !(FExisting && SameFile(now.Get(), FExisting.Get())) &&
        ::flock(now.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        Discard();
        ThrowCreateError(FPath, error);
    }
    if (::renameat(FFolder.Get(), FTemporary.c_str(), FFolder.Get(), FName.c_str()) != 0) {
        const int error = errno;
        Discard();
        ThrowCreateError(FPath, error);
    }
    FTemporary.clear();
    FExisting.Reset();
}

} // namespace folioxa
