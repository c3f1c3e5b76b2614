#pragma once

#include "base/Error.h"
#include "base/FileDescriptor.h"
#include "imaging/ByteSink.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

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

// The folder a run writes its files into, opened once (O_PATH | O_DIRECTORY): every file of the
// run is created and renamed relative to it, so that a folder renamed or replaced by a link
// during the run cannot send the later files elsewhere. Shared read-only by the run's writers.
class OutputFolder {
public:
    // Opens `path`, the text the run's file names are appended to ("" for the working folder,
    // else normally ending in "/"). A folder that cannot be opened is not refused here: every
    // OutputFile made in it fails with the system's reason, naming its own path.
    explicit OutputFolder(std::string path);
    // The folder `path` lies in, opened for it alone.
    static std::shared_ptr<const OutputFolder> Containing(const std::string& path);
    // A run's folder: opened, and the hidden files that a writer ended before its rename (a
    // SIGKILL, a crash) left in it noted, so that OutputFile removes those of each name it
    // writes. Reads the folder once; finds nothing in a folder it cannot read.
    static std::shared_ptr<const OutputFolder> OpenForRun(std::string path);

    const std::string& Path() const { return FPath; }
    // `path` without the folder's text it begins with (it must begin with it).
    std::string NameOf(const std::string& path) const;
    // The size of the file `name` in the folder; -1 when it cannot be read.
    std::int64_t SizeOf(const std::string& name) const;
    // True when `name` is a regular file of at least one byte, not a link: a file that a run
    // put in place whole (an empty one, a link or anything else is written again).
    bool HoldsFile(const std::string& name) const;

private:
    friend class OutputFile;
    void FindLeftovers();
    // Removes the leftovers noted for `name` that no live writer holds.
    void RemoveLeftovers(const std::string& name) const;

    std::string FPath;
    FileDescriptor FFolder;
    int FError = 0; // why the folder could not be opened
    // Hidden names by the name they were written for (cut as a hidden name cuts it).
    std::unordered_map<std::string, std::vector<std::string>> FLeftovers;
};

// The step every writer takes to put its bytes on disk. The bytes go to a new hidden file beside
// the final name (".NAME.XXXXXX", created exclusively, never through a link, and locked shared
// while it lives), which Close renames over the name once every byte is written; until then the
// name keeps what it held, and a failure or a stop at any point removes the hidden file. The file
// the name holds is locked shared until the rename: other writers of ours share it, so two runs
// writing one name both complete and the later rename wins, while a file another program holds
// with an exclusive flock is refused rather than replaced. A symbolic link at the name is
// replaced itself, never followed. A character or block device is written directly, without
// lock or truncation; a FIFO or socket is refused at once.
class OutputFile : public ByteSink {
public:
    // The file `name` (no "/") in `folder`. Throws EFCreateError "Cannot create file \"<absolute
    // path>\". <system text>" when the folder or the name refuses the file, the name is locked
    // by another program, or names a FIFO, socket or folder.
    OutputFile(std::shared_ptr<const OutputFolder> folder, const std::string& name);
    // The file at `path`, in its folder opened for this file alone.
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

    void CreateTemporary();
    [[noreturn]] void Refuse(int error);

    std::shared_ptr<const OutputFolder> FFolder; // every step is taken relative to it
    std::string FName;
    std::string FTemporary; // "" for a device written directly
    // The regular file the name held when the save began, locked against other writers until
    // the rename replaces it.
    FileDescriptor FExisting;
    FileDescriptor FFile;
    // The hidden file's lock, held apart from FFile so that it outlasts FFile's close until the
    // rename: a hidden file nobody holds is a leftover that another run may remove.
    FileDescriptor FLock;
};

// `path` made absolute against the working folder, "." and ".." steps resolved by name.
std::string AbsolutePath(const std::string& path);

} // namespace folioxa
