#pragma once

#include "base/Error.h"
#include "base/FileDescriptor.h"
#include "imaging/ByteSink.h"

#include <cstddef>
#include <string>

namespace folioxa {

// An output file could not be created or opened for writing.
class EFCreateError : public Error {
public:
    explicit EFCreateError(const std::string& message) : Error(ErrorKind::CreateFile, message) {}
};

// Bytes could not be written to an output file.
class EWriteError : public Error {
public:
    explicit EWriteError(const std::string& message) : Error(ErrorKind::Write, message) {}
};

// The step every writer takes to put its bytes on disk. The bytes go to a new hidden file beside
// the final name (".NAME.XXXXXX", created exclusively, never through a link), which Close renames
// over the name once every byte is written; until then the name keeps what it held, and a failure
// or a stop at any point removes the hidden file. A file another program holds with flock is
// refused rather than replaced. A symbolic link at the name is replaced itself, never followed.
// A character or block device is written directly, without lock or truncation; a FIFO or socket
// is refused at once.
class OutputFile : public ByteSink {
public:
    // Throws EFCreateError "Cannot create file \"<absolute path>\". <system text>" when the
    // folder or the name refuses the file, the name is locked by another program, or names a
    // FIFO, socket or folder.
    explicit OutputFile(const std::string& path);
    // Removes the hidden file unless Close put it in place.
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all `size` bytes, continuing short writes. Throws EWriteError "Stream write error"
    // when the system refuses or writes nothing.
    void Write(const void* data, std::size_t size) override;

    // Writes the pieces in order, as one Write of their bytes joined would, with few system
    // calls and no copy. Throws EWriteError as Write does.
    void WritePieces(const Piece* pieces, std::size_t count) override;

    // Closes the file and renames it over the final name. Throws EWriteError when the close
    // reports a failure (a full remote disk), EFCreateError when the name is now locked by
    // another program or the rename is refused; the name then keeps what it held.
    void Close();

private:
    void Discard() noexcept;

    std::string FPath;
    FileDescriptor FFolder; // the folder of the name; every step is taken relative to it
    std::string FName;
    std::string FTemporary; // "" for a device written directly
    // The regular file the name held when the save began, locked against other writers until
    // the rename replaces it.
    FileDescriptor FExisting;
    FileDescriptor FFile;
};

// `path` made absolute against the working folder, "." and ".." steps resolved by name.
std::string AbsolutePath(const std::string& path);

} // namespace folioxa
