#pragma once

#include "base/Error.h"
#include "base/FileDescriptor.h"
#include "conversion/ConversionSettings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct msghdr;

namespace folioxa {

// What crosses the socket between the trusted side and one page worker: frames of a fixed header
// (type, flags, index, payload length) and a payload. The worker opens documents, loads pages and
// draws them into page buffers the parent gives it; it never sends a file's bytes, and never a
// descriptor. One table (FrameRules) says for every frame who sends it, in which stage of the
// exchange it is valid, how large its payload may be and whether a descriptor rides on it; both
// ends check every frame against it before its payload is read.
enum class FrameType : std::uint32_t {
    // Parent to worker.
    Open = 1, // payload: file name, password, how its pages are drawn (box, annotations,
              // highlight, background); the document's descriptor rides along (without
              // one, the engine is given the name, which the sandbox lets it read only where
              // the engine's own files are). Index: the document's id
    Page,     // payload: the page number; Index: the entry
    Draw,     // payload: width, height; a new page buffer may ride along. Index: the entry
    // Worker to parent.
    Opened,   // payload: the page count
    PageSize, // payload: the loaded page's width and height in points
    Drawn,    // payload: width, height, microseconds spent loading and drawing the page
    Failed,   // payload: the failure's kind and text
};

// Where one worker stands in its exchange with the parent; both ends keep it alike.
enum class WireStage : std::uint8_t {
    Idle,    // nothing asked (a document may be open)
    Opening, // Open sent: Opened or Failed comes next
    Paging,  // Page sent: PageSize or Failed
    Sized,   // the page's size is known: Draw comes next (or, when the parent refused the page,
             // another Page or Open)
    Drawing, // Draw sent: Drawn or Failed
};

enum class WireSide : std::uint8_t { Parent, Worker };

// Whether a frame carries a descriptor. Only the parent ever sends one.
enum class WireFile : std::uint8_t { None, Required, Optional };

struct FrameRule {
    FrameType Type;
    const char* Name;
    WireSide From;
    std::uint8_t Stages; // StageBit of each stage in which the frame is valid
    WireStage Next;      // the stage the frame leads to
    std::uint32_t MaxPayload;
    WireFile File;
};

constexpr std::uint8_t StageBit(WireStage stage) {
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(stage));
}

// The rule of frame type `type`; null for a type the protocol does not have.
const FrameRule* FindFrameRule(std::uint32_t type);

// The longest failure text that crosses the wire, in bytes; a longer one is cut, both before it
// leaves the worker and when the parent reads it.
inline constexpr std::size_t kMaxFailureText = 400;

// `text` cut to at most kMaxFailureText bytes, at a character boundary, "..." marking the cut.
std::string CutFailureText(std::string text);

// Whether a worker may fail with `kind` in `stage`: the engine's own failures, memory and the
// plain ones; never what only the trusted side can meet (an opening failure of the run, a file,
// a page number, a size).
bool FailureKindAllowed(WireStage stage, ErrorKind kind);

// A frame broke the protocol: the worker that sent it is ended, its entry fails. The text says
// what broke it ("a descriptor from the worker").
class EProtocolError : public Error {
public:
    explicit EProtocolError(const std::string& message) : Error(ErrorKind::Protocol, message) {}
};

// Where in an entry a failure came: before the serial run would have created the file (choosing
// and drawing the page, the format's refusal) or after it (encoding).
enum class FailureStage : std::uint32_t { BeforeFile, AfterFile };

struct Failure {
    ErrorKind Kind = ErrorKind::Other;
    FailureStage Stage = FailureStage::BeforeFile;
    std::string Message;
};

struct Frame {
    FrameType Type{};
    std::int64_t Index = -1;
    std::string Payload;
    FileDescriptor File; // the descriptor that rode on the frame (parent to worker only)
    WireStage Stage{};   // the stage the frame arrived in
};

struct PageSizePoints {
    double Width = 0;
    double Height = 0;
};

struct PagePixels {
    std::int32_t Width = 0;
    std::int32_t Height = 0;
};

struct DrawnPage {
    PagePixels Size;
    std::int64_t Microseconds = 0;
};

// What an Open frame asks for.
struct OpenRequest {
    std::string FileName;
    std::string Password;
    DrawingOptions Drawing;
};

// Payload builders and readers; a reader throws EProtocolError on a payload that is not what
// its frame carries.
std::string EncodeOpen(const OpenRequest& request);
OpenRequest DecodeOpen(const std::string& payload);
std::string EncodeCount(std::int64_t count); // Opened, Page
std::int32_t DecodeCount(const std::string& payload);
std::string EncodePageSize(PageSizePoints size);
PageSizePoints DecodePageSize(const std::string& payload);
std::string EncodeDraw(PagePixels size);
PagePixels DecodeDraw(const std::string& payload);
std::string EncodeDrawn(const DrawnPage& drawn);
DrawnPage DecodeDrawn(const std::string& payload);
// The kind and the text (cut); the stage is BeforeFile: a worker never encodes.
std::string EncodeFailure(ErrorKind kind, const std::string& message);
Failure DecodeFailure(const std::string& payload);

// The whole bytes of a frame that carries no descriptor, for a sender that must not allocate when
// it sends (a signal handler).
std::string FrameBytes(FrameType type, std::int64_t index, const std::string& payload);

// One end of the socket, keeping the stage of the exchange. Every frame sent or received is
// checked against the table; a received one before its payload is read, its descriptors taken
// (and closed at once where the table allows none) before anything else is decided.
class Channel {
public:
    Channel(FileDescriptor socket, WireSide self) : FSocket(std::move(socket)), FSelf(self) {}

    int Fd() const { return FSocket.Get(); }
    WireStage Stage() const { return FStage; }

    // Blocks until the frame is out. Throws Error when this side may not send it now (a fault of
    // ours) or when the other end has gone.
    void Send(FrameType type, std::int64_t index, const std::string& payload = {}, int file = -1);

    // Blocks for the next whole frame; nothing at the end of the stream. Throws EProtocolError
    // for a frame the table refuses, Error on a broken stream.
    std::optional<Frame> Receive();

    // Without blocking: reads what the socket holds of the next frame and returns it once whole.
    // Throws EProtocolError as Receive does. Ended() is true once the other end has gone.
    std::optional<Frame> ReadFrame();
    bool Ended() const { return FEnded; }

private:
    // Reads at most what the frame in hand still lacks; false when nothing came (would block,
    // or the end).
    bool ReadSome(bool wait);
    void TakeControl(msghdr& message, bool first);
    void CheckHeader();
    bool Whole() const; // the frame in hand is complete
    Frame TakeFrame();

    FileDescriptor FSocket;
    WireSide FSelf;
    WireStage FStage = WireStage::Idle;
    std::int64_t FAsked = -1;         // the index of the last request, which every answer must name
    std::string FInput;               // the frame in hand: its header, then its payload
    const FrameRule* FRule = nullptr; // its rule, once its header has been checked
    FileDescriptor FFile;             // the descriptor that rode on it
    bool FEnded = false;
};

} // namespace folioxa
