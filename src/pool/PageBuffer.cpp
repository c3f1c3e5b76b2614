#include "pool/PageBuffer.h"

#include "base/Error.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace folioxa {

namespace {

std::string SizeText(std::size_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

// Gives the shared file `fd` its size. A file size limit (ulimit -f) binds shared memory too, and
// a growth past it would end this process with SIGXFSZ: under such a limit a short-lived child
// lifts it as far as the hard limit allows and sizes the file, which is the same file for both.
bool SizeSharedFile(int fd, std::size_t bytes) {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= bytes) {
        return ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    }
    const pid_t child = fork();
    if (child == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
        _exit(ftruncate(fd, static_cast<off_t>(bytes)) == 0 ? 0 : errno);
    }
    if (child < 0) {
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    errno = WIFEXITED(status) ? WEXITSTATUS(status) : EFBIG;
    return false;
}

} // namespace

TPageBuffer::TPageBuffer(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    FSize = (std::max<std::size_t>(bytes, 1) + page - 1) / page * page;
    FFile.Reset(memfd_create("folioxa-page", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!FFile || !SizeSharedFile(FFile.Get(), FSize) ||
        fcntl(FFile.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        throw Error("Cannot make a page buffer of " + SizeText(FSize) + ": " +
                    std::strerror(errno));
    }
    void* map = mmap(nullptr, FSize, PROT_READ, MAP_SHARED, FFile.Get(), 0);
    if (map == MAP_FAILED) {
        throw EOutOfMemory("Out of memory for a page buffer of " + SizeText(FSize) + ": " +
                           std::strerror(errno));
    }
    FPixels = static_cast<std::uint8_t*>(map);
}

TPageBuffer::~TPageBuffer() {
    munmap(FPixels, FSize);
}

TPageMapping::~TPageMapping() {
    Unmap();
}

void TPageMapping::Unmap() {
    if (FPixels != nullptr) {
        munmap(FPixels, FSize);
        FPixels = nullptr;
        FSize = 0;
    }
}

void TPageMapping::Replace(FileDescriptor buffer,
                           const std::function<void(std::uint64_t bytes)>& beforeMapping) {
    Unmap();
    struct stat status {};
    if (fstat(buffer.Get(), &status) != 0 || status.st_size <= 0) {
        throw Error("A page buffer cannot be read");
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    if (beforeMapping) {
        beforeMapping(size);
    }
    // Faulted in here, in one go, rather than page by page as the engine first fills it.
    void* map =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, buffer.Get(), 0);
    if (map == MAP_FAILED) {
        throw EOutOfMemory("Out of memory for a page buffer of " + SizeText(size) + ": " +
                           std::strerror(errno));
    }
    FPixels = static_cast<std::uint8_t*>(map);
    FSize = size;
}

} // namespace folioxa
