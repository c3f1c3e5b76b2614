#pragma once

#include <cstddef>
#include <utility>

namespace folioxa {

// Owns one file descriptor and closes it when it goes; -1 owns nothing.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : FFd(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        Reset(std::exchange(other.FFd, -1));
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Reset(); }

    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    explicit operator bool() const { return Valid(); }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(FFd, -1); }
    // Closes the descriptor held (errors ignored: Linux releases it anyway) and takes `fd`.
    void Reset(int fd = -1);

private:
    int FFd = -1;
};

// Writes all `size` bytes to `fd`, continuing short and interrupted writes. False when the
// system refuses or writes nothing, errno then saying why.
bool WriteAll(int fd, const void* data, std::size_t size);

} // namespace folioxa
