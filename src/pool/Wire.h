#pragma once

#include "base/Error.h"
#include "base/FileDescriptor.h"
#include "conversion/ConversionJob.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace folioxa {

// What crosses the socket between the render pool and one of its workers: frames of a fixed
// header (type, entry index, payload length) and a payload. The parent writes each file itself;
// a worker only ever sends the bytes of the files it encoded.
enum class FrameType : std::uint32_t {
    // Parent to worker.
    Document = 1, // payload: DocumentJob; the document's file descriptor rides along; opened
                  // before the next entry
    Entry,        // payload: the document's id and the entry's text
    Go,           // the entry of Index may be drawn now
    // Worker to parent.
    Size,   // payload: the entry's pixel width and height, before it is drawn
    Data,   // payload: the next bytes of the entry's file
    Done,   // payload: microseconds spent; the entry's file is complete
    Failed, // payload: Failure (every entry of a document that did not open fails with that)
};

// Where in an entry a failure came: before the serial run would have created the file (choosing
// and drawing the page, the format's refusal) or after it (encoding).
enum class FailureStage : std::uint32_t { BeforeFile, AfterFile };

struct Failure {
    ErrorKind Kind = ErrorKind::Other;
    FailureStage Stage = FailureStage::BeforeFile;
    std::string Message;
};

// The failure an exception stands for: its kind (KindOf) and its text.
Failure FailureOf(const std::exception& error, FailureStage stage);
// Throws the exception of `failure`'s kind with its message.
[[noreturn]] void ThrowFailure(const Failure& failure);

// How every page of one document is drawn and encoded.
struct DocumentJob {
    std::int64_t Id = 0;
    std::string FileName; // names the document in messages; the worker never opens it
    std::string Password;
    std::string ImageType;
    PageSizing Sizing; // as the settings give it
    std::int32_t JpegQuality = 100;
    std::uint64_t AvailableMemory = 0; // what the parent found free; 0 when unknown
};

// The job that draws and encodes the pages as `settings` ask (Id and AvailableMemory left 0).
DocumentJob DocumentJobOf(const ConversionSettings& settings);

struct Frame {
    FrameType Type{};
    std::int64_t Index = -1;
    std::string Payload;
    FileDescriptor File; // a descriptor sent with the frame
};

// Payload builders and readers; a reader throws Error on a payload it did not expect.
std::string EncodeDocumentJob(const DocumentJob& job);
DocumentJob DecodeDocumentJob(const std::string& payload);
std::string EncodeEntry(std::int64_t document, const std::string& text);
std::pair<std::int64_t, std::string> DecodeEntry(const std::string& payload);
std::string EncodeSize(std::int32_t width, std::int32_t height);
std::pair<std::int32_t, std::int32_t> DecodeSize(const std::string& payload);
std::string EncodeDone(std::int64_t microseconds);
std::int64_t DecodeDone(const std::string& payload);
std::string EncodeFailure(const Failure& failure);
Failure DecodeFailure(const std::string& payload);

// The whole bytes of a frame that carries no descriptor, for a sender that must not allocate when
// it sends (a signal handler).
std::string FrameBytes(FrameType type, std::int64_t index, const std::string& payload);

// One end of the socket. Sending blocks until the frame is out (frames to a worker are small;
// a worker's sends wait for its parent to read). Receiving is either blocking (the worker) or
// fed from what a non-blocking read found (the parent).
class Channel {
public:
    explicit Channel(FileDescriptor socket) : FSocket(std::move(socket)) {}

    int Fd() const { return FSocket.Get(); }

    // Throws Error when the other end has gone.
    void Send(FrameType type, std::int64_t index, const void* payload, std::size_t size,
              int file = -1);
    void Send(FrameType type, std::int64_t index, const std::string& payload = {}, int file = -1) {
        Send(type, index, payload.data(), payload.size(), file);
    }

    // Blocks for the next whole frame; nothing at the end of the stream. Throws Error on a
    // broken stream.
    std::optional<Frame> Receive();

    // Reads what the socket holds now, up to `limit` bytes, without blocking: the bytes read
    // (0 when none were there), -1 at the end of the stream or when the socket failed.
    long ReadAvailable(std::size_t limit);
    // The next whole frame among the bytes read so far.
    std::optional<Frame> NextFrame();

private:
    long ReadSome(std::size_t limit, bool wait);

    FileDescriptor FSocket;
    std::string FInput;
    std::size_t FConsumed = 0;
    std::vector<FileDescriptor> FFiles; // descriptors received, for the frames that carry one
};

} // namespace folioxa
