#include "imaging/OutputFile.h"

#include "base/IoVector.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>

namespace folioxa {

namespace {

const char* const kWriteError = "Stream write error";

// Opens what a name holds without waiting on it (a FIFO) and without following a link (ELOOP).
constexpr int kOpenExisting = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

constexpr std::size_t kRandomLetters = 6;
// The dot before the name and the one before the random letters.
constexpr std::size_t kHiddenExtra = 2 + kRandomLetters;
constexpr int kNameTries = 100;

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
    unsigned char random[kRandomLetters];
    FillRandom(random, sizeof random);
    std::string temporary = "." + name.substr(0, NAME_MAX - kHiddenExtra) + ".";
    for (const unsigned char byte : random) {
        temporary += kLetters[byte % (sizeof kLetters - 1)];
    }
    return temporary;
}

// The name a hidden file of TemporaryName's shape was made for, as far as it kept it; nothing
// for any other name.
std::optional<std::string> HiddenFor(const std::string& hidden) {
    const std::size_t size = hidden.size();
    if (size <= kHiddenExtra || hidden[0] != '.' || hidden[size - kRandomLetters - 1] != '.') {
        return std::nullopt;
    }
    for (std::size_t i = size - kRandomLetters; i < size; ++i) {
        if (std::isalnum(static_cast<unsigned char>(hidden[i])) == 0) {
            return std::nullopt;
        }
    }
    return hidden.substr(1, size - kHiddenExtra);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameFile(int a, int b) {
    struct stat first {};
    struct stat second {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && SameFile(first, second);
}

// Whether `name` in `folder` still is the file open as `fd`.
bool StillNamed(int folder, const std::string& name, int fd) {
    struct stat named {};
    struct stat open {};
    return ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &open) == 0 && SameFile(named, open);
}

// Every writer of ours locks shared, so that two runs writing one name never refuse each other,
// while a writer holding an exclusive lock refuses us. NFS emulates flock with byte-range locks,
// whose shared kind wants a descriptor open for reading: a write-only one locks exclusively there.
bool LockShared(int fd) {
    return ::flock(fd, LOCK_SH | LOCK_NB) == 0 ||
           (errno == EBADF && ::flock(fd, LOCK_EX | LOCK_NB) == 0);
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

} // namespace

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    if (absolute.empty()) {
        return path; // no working folder to resolve against: the path as given is all we have
    }
    return absolute.lexically_normal().string();
}

OutputFolder::OutputFolder(std::string path)
    : FPath(std::move(path)),
      FFolder(::open(FPath.empty() ? "." : FPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {
    if (!FFolder) {
        FError = errno;
    }
}

std::shared_ptr<const OutputFolder> OutputFolder::Containing(const std::string& path) {
    return std::make_shared<const OutputFolder>(path.substr(0, path.rfind('/') + 1));
}

std::shared_ptr<const OutputFolder> OutputFolder::OpenForRun(std::string path) {
    auto folder = std::make_shared<OutputFolder>(std::move(path));
    folder->FindLeftovers();
    return folder;
}

std::string OutputFolder::NameOf(const std::string& path) const {
    return path.substr(FPath.size());
}

std::int64_t OutputFolder::SizeOf(const std::string& name) const {
    struct stat status {};
    return ::fstatat(FFolder.Get(), name.c_str(), &status, 0) == 0 && S_ISREG(status.st_mode)
               ? status.st_size
               : -1;
}

bool OutputFolder::HoldsFile(const std::string& name) const {
    struct stat status {};
    return ::fstatat(FFolder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(status.st_mode) && status.st_size > 0;
}

void OutputFolder::FindLeftovers() {
    FileDescriptor readable(::openat(FFolder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::unique_ptr<DIR, DirectoryCloser> directory(readable ? ::fdopendir(readable.Get())
                                                                   : nullptr);
    if (!directory) {
        return;
    }
    readable.Release(); // closed with the directory
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string hidden = entry->d_name;
        if (const std::optional<std::string> name = HiddenFor(hidden)) {
            FLeftovers[*name].push_back(std::move(hidden));
        }
    }
}

void OutputFolder::RemoveLeftovers(const std::string& name) const {
    const auto found = FLeftovers.find(name.substr(0, NAME_MAX - kHiddenExtra));
    if (found == FLeftovers.end()) {
        return;
    }
    for (const std::string& hidden : found->second) {
        const char* const at = hidden.c_str();
        FileDescriptor file(
            ::openat(FFolder.Get(), at, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat status {};
        // A writer holds its hidden file locked until its rename: one nobody holds is a
        // leftover. The name is checked again under the lock, since a writer that had just
        // created it before we looked now gives it up for another.
        if (file && ::fstat(file.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
            ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0 &&
            StillNamed(FFolder.Get(), hidden, file.Get())) {
            ::unlinkat(FFolder.Get(), at, 0);
        }
    }
}

OutputFile::OutputFile(const std::string& path)
    : OutputFile(OutputFolder::Containing(path), path.substr(path.rfind('/') + 1)) {}

OutputFile::OutputFile(std::shared_ptr<const OutputFolder> folder, const std::string& name)
    : FFolder(std::move(folder)), FName(name) {
    if (FName.empty()) {
        Refuse(FFolder->Path().empty() ? ENOENT : EISDIR);
    }
    if (!FFolder->FFolder) {
        Refuse(FFolder->FError);
    }
    const int at = FFolder->FFolder.Get();
    FileDescriptor existing(::openat(at, FName.c_str(), kOpenExisting));
    if (!existing && errno != ENOENT && errno != ELOOP) {
        // Refused as a plain open would refuse it, and a FIFO without a reader (ENXIO).
        Refuse(errno);
    }
    if (existing) {
        struct stat status {};
        if (::fstat(existing.Get(), &status) != 0) {
            Refuse(errno);
        }
        if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
            // A device has no length to cut nor a folder entry to replace, and a lock on
            // /dev/full would bar every other process from it: it is written as it is.
            const int flags = ::fcntl(existing.Get(), F_GETFL);
            if (flags < 0 || ::fcntl(existing.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                Refuse(errno);
            }
            FFile = std::move(existing);
            return;
        }
        if (!S_ISREG(status.st_mode)) {
            Refuse(ENXIO); // a FIFO with a reader: refused as one without
        }
        // Held until the rename, so that no other program's writer takes it meanwhile.
        if (!LockShared(existing.Get())) {
            Refuse(errno);
        }
        FExisting = std::move(existing);
    }
    FFolder->RemoveLeftovers(FName);
    CreateTemporary();
}

void OutputFile::CreateTemporary() {
    const int at = FFolder->FFolder.Get();
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        std::string temporary = TemporaryName(FName);
        // 0666 under the umask: the mode a plain creation of the name would have given. Read
        // access too, which NFS wants for a shared lock.
        FileDescriptor file(::openat(at, temporary.c_str(),
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!file) {
            if (errno == EEXIST) {
                continue;
            }
            Refuse(errno);
        }
        if (::flock(file.Get(), LOCK_SH | LOCK_NB) == 0) {
            if (!StillNamed(at, temporary, file.Get())) {
                continue; // removed as a leftover before we locked it
            }
        } else if (errno == EWOULDBLOCK) {
            continue; // another run holds it to remove it as a leftover
        }
        // Without locks on this file system no run can lock the file to remove it either.
        FLock.Reset(::fcntl(file.Get(), F_DUPFD_CLOEXEC, 0));
        if (!FLock) {
            const int error = errno;
            ::unlinkat(at, temporary.c_str(), 0);
            Refuse(error);
        }
        FFile = std::move(file);
        FTemporary = std::move(temporary);
        return;
    }
    Refuse(EEXIST);
}

void OutputFile::Refuse(int error) {
    throw EFCreateError("Cannot create file \"" + AbsolutePath(FFolder->Path() + FName) + "\". " +
                        std::strerror(error));
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() noexcept {
    FFile.Reset();
    if (!FTemporary.empty()) {
        ::unlinkat(FFolder->FFolder.Get(), FTemporary.c_str(), 0);
        FTemporary.clear();
    }
    FLock.Reset(); // only once the name is gone
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
    // is refused, as at the start; one that another run of ours just put there is replaced.
    const int at = FFolder->FFolder.Get();
    FileDescriptor now(::openat(at, FName.c_str(), kOpenExisting));
    struct stat status {};
    if (now && ::fstat(now.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
        !(FExisting && SameFile(now.Get(), FExisting.Get())) && !LockShared(now.Get())) {
        const int error = errno;
        Discard();
        Refuse(error);
    }
    if (::renameat(at, FTemporary.c_str(), at, FName.c_str()) != 0) {
        const int error = errno;
        Discard();
        Refuse(error);
    }
    FTemporary.clear();
    FLock.Reset();
    FExisting.Reset();
}

} // namespace folioxa
