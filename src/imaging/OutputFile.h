#pragma once

#include "imaging/ByteSink.h"
#include "imaging/Error.h"

#include <cstddef>
#include <string>

namespace folioxa {

// An output file could not be created or opened for writing.
class EFCreateError : public Error {
public:
    using Error::Error;
};

// Bytes could not be written to an output file.
class EWriteError : public Error {
public:
    using Error::Error;
};

// The step every writer takes to put its bytes on disk: the file is created, or an existing one
// is locked for this writer alone and only then emptied, so another writer holding it is never
// cut short. A device or pipe named as the file is written without lock or truncation. The file is
// closed when the object goes, on every path.
class OutputFile : public ByteSink {
public:
    // Creates or truncates `path`. Throws EFCreateError "Cannot create file \"<absolute path>\".
    // <system text>" when the file cannot be opened, locked or emptied.
    explicit OutputFile(const std::string& path);
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all `size` bytes, continuing short writes. Throws EWriteError "Stream write error"
    // when the system refuses or writes nothing; the bytes written before stay in the file.
    void Write(const void* data, std::size_t size) override;

    // Writes the pieces in order, as one Write of their bytes joined would, with few system
    // calls and no copy. Throws EWriteError as Write does.
    void WritePieces(const Piece* pieces, std::size_t count) override;

    // Closes the file; a failure the system reports only now (a full remote disk) throws
    // EWriteError. The destructor closes silently when this was not called.
    void Close();

private:
    int FHandle = -1;
};

// `path` made absolute against the working folder, "." and ".." steps resolved by name.
std::string AbsolutePath(const std::string& path);

} // namespace folioxa
