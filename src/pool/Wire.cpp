#include "pool/Wire.h"

#include "base/IoVector.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace folioxa {

namespace {

constexpr std::uint32_t kCarriesFile = 1;

struct Header {
    std::uint32_t Type;
    std::uint32_t Flags;
    std::int64_t Index;
    std::uint64_t Length;
};
static_assert(sizeof(Header) == 24);

constexpr std::uint8_t kAnyIdle = StageBit(WireStage::Idle) | StageBit(WireStage::Sized);
constexpr std::uint8_t kAsked =
    StageBit(WireStage::Opening) | StageBit(WireStage::Paging) | StageBit(WireStage::Drawing);
// An Open frame's drawing flags.
constexpr std::int64_t kDrawAnnotations = 1;
constexpr std::int64_t kDrawNoHighlight = 2;
constexpr std::int64_t kDrawTransparent = 4;

// A file name and a password; far more than either ever is.
constexpr std::uint32_t kMaxOpen = 1U << 20;

// clang-format off
constexpr std::array<FrameRule, 7> kFrameRules{{
    // type               name        from              valid in         leads to            max payload            descriptor
    {FrameType::Open,     "Open",     WireSide::Parent, kAnyIdle,        WireStage::Opening, kMaxOpen,              WireFile::Optional},
    {FrameType::Page,     "Page",     WireSide::Parent, kAnyIdle,        WireStage::Paging,  8,                     WireFile::None},
    {FrameType::Draw,     "Draw",     WireSide::Parent, StageBit(WireStage::Sized), WireStage::Drawing, 16,     WireFile::Optional},
    {FrameType::Opened,   "Opened",   WireSide::Worker, StageBit(WireStage::Opening), WireStage::Idle,  8,       WireFile::None},
    {FrameType::PageSize, "PageSize", WireSide::Worker, StageBit(WireStage::Paging), WireStage::Sized,  16,      WireFile::None},
    {FrameType::Drawn,    "Drawn",    WireSide::Worker, StageBit(WireStage::Drawing), WireStage::Idle,  24,      WireFile::None},
    {FrameType::Failed,   "Failed",   WireSide::Worker, kAsked,          WireStage::Idle,    16 + kMaxFailureText,  WireFile::None},
}};
// clang-format on

// At most one descriptor rides on a frame; room for a few more lets us see (and close) extras.
constexpr std::size_t kControlFiles = 4;

const char* StageName(WireStage stage) {
    switch (stage) {
    case WireStage::Idle:
        return "idle";
    case WireStage::Opening:
        return "opening";
    case WireStage::Paging:
        return "loading a page";
    case WireStage::Sized:
        return "waiting to draw";
    case WireStage::Drawing:
        return "drawing";
    }
    return "?";
}

// "an Opened frame", "a Drawn frame".
std::string AFrame(const char* name) {
    const bool vowel = std::string_view("AEIOU").find(name[0]) != std::string_view::npos;
    return std::string(vowel ? "an " : "a ") + name + " frame";
}

class PayloadWriter {
public:
    PayloadWriter& Int(std::int64_t value) { return Raw(&value, sizeof value); }
    PayloadWriter& Real(double value) { return Raw(&value, sizeof value); }
    PayloadWriter& Text(const std::string& text) {
        Int(static_cast<std::int64_t>(text.size()));
        FBytes += text;
        return *this;
    }
    std::string Bytes() { return std::move(FBytes); }

private:
    PayloadWriter& Raw(const void* value, std::size_t size) {
        FBytes.append(static_cast<const char*>(value), size);
        return *this;
    }
    std::string FBytes;
};

class PayloadReader {
public:
    explicit PayloadReader(const std::string& bytes) : FBytes(bytes) {}
    std::int64_t Int() {
        std::int64_t value = 0;
        Raw(&value, sizeof value);
        return value;
    }
    double Real() {
        double value = 0;
        Raw(&value, sizeof value);
        return value;
    }
    std::string Text() {
        const std::int64_t size = Int();
        if (size < 0 || static_cast<std::uint64_t>(size) > FBytes.size() - FAt) {
            Bad();
        }
        std::string text = FBytes.substr(FAt, static_cast<std::size_t>(size));
        FAt += static_cast<std::size_t>(size);
        return text;
    }
    void End() const {
        if (FAt != FBytes.size()) {
            Bad();
        }
    }

private:
    void Raw(void* value, std::size_t size) {
        if (FBytes.size() - FAt < size) {
            Bad();
        }
        std::memcpy(value, FBytes.data() + FAt, size);
        FAt += size;
    }
    [[noreturn]] static void Bad() { throw EProtocolError("a malformed payload"); }

    const std::string& FBytes;
    std::size_t FAt = 0;
};

// A count or a side in pixels: positive and within int.
std::int32_t Positive(std::int64_t value) {
    if (value < 0 || value > INT32_MAX) {
        throw EProtocolError("a number out of range: " + std::to_string(value));
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

const FrameRule* FindFrameRule(std::uint32_t type) {
    for (const FrameRule& rule : kFrameRules) {
        if (static_cast<std::uint32_t>(rule.Type) == type) {
            return &rule;
        }
    }
    return nullptr;
}

std::string CutFailureText(std::string text) {
    if (text.size() <= kMaxFailureText) {
        return text;
    }
    std::size_t end = kMaxFailureText - 3;
    // Back to the first byte of a UTF-8 character, so that no character is cut in two.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text + "...";
}

bool FailureKindAllowed(WireStage stage, ErrorKind kind) {
    switch (kind) {
    case ErrorKind::Other:
    case ErrorKind::OutOfMemory:
    case ErrorKind::Pdf:
        return true;
    case ErrorKind::Password:
        return stage == WireStage::Opening;
    default:
        return false;
    }
}

std::string EncodeOpen(const OpenRequest& request) {
    const DrawingOptions& drawing = request.Drawing;
    const std::int64_t flags = (drawing.Annotations ? kDrawAnnotations : 0) |
                               (drawing.FormHighlight ? 0 : kDrawNoHighlight) |
                               (drawing.Transparent ? kDrawTransparent : 0);
    return PayloadWriter()
        .Text(request.FileName)
        .Text(request.Password)
        .Int(static_cast<std::int64_t>(drawing.Box))
        .Int(flags)
        .Bytes();
}

OpenRequest DecodeOpen(const std::string& payload) {
    PayloadReader reader(payload);
    OpenRequest request;
    request.FileName = reader.Text();
    request.Password = reader.Text();
    const std::int64_t box = reader.Int();
    const std::int64_t flags = reader.Int();
    reader.End();
    if (box < 0 || box > static_cast<std::int64_t>(PageBox::Art) ||
        (flags & ~(kDrawAnnotations | kDrawNoHighlight | kDrawTransparent)) != 0) {
        throw EProtocolError("a drawing the worker does not know");
    }
    request.Drawing.Box = static_cast<PageBox>(box);
    request.Drawing.Annotations = (flags & kDrawAnnotations) != 0;
    request.Drawing.FormHighlight = (flags & kDrawNoHighlight) == 0;
    request.Drawing.Transparent = (flags & kDrawTransparent) != 0;
    return request;
}

std::string EncodeCount(std::int64_t count) {
    return PayloadWriter().Int(count).Bytes();
}

std::int32_t DecodeCount(const std::string& payload) {
    PayloadReader reader(payload);
    const std::int32_t count = Positive(reader.Int());
    reader.End();
    return count;
}

std::string EncodePageSize(PageSizePoints size) {
    return PayloadWriter().Real(size.Width).Real(size.Height).Bytes();
}

PageSizePoints DecodePageSize(const std::string& payload) {
    PayloadReader reader(payload);
    PageSizePoints size;
    size.Width = reader.Real();
    size.Height = reader.Real();
    reader.End();
    return size;
}

std::string EncodeDraw(PagePixels size) {
    return PayloadWriter().Int(size.Width).Int(size.Height).Bytes();
}

PagePixels DecodeDraw(const std::string& payload) {
    PayloadReader reader(payload);
    PagePixels size;
    size.Width = Positive(reader.Int());
    size.Height = Positive(reader.Int());
    reader.End();
    return size;
}

std::string EncodeDrawn(const DrawnPage& drawn) {
    return PayloadWriter()
        .Int(drawn.Size.Width)
        .Int(drawn.Size.Height)
        .Int(drawn.Microseconds)
        .Bytes();
}

DrawnPage DecodeDrawn(const std::string& payload) {
    PayloadReader reader(payload);
    DrawnPage drawn;
    drawn.Size.Width = Positive(reader.Int());
    drawn.Size.Height = Positive(reader.Int());
    drawn.Microseconds = std::max<std::int64_t>(reader.Int(), 0);
    reader.End();
    return drawn;
}

std::string EncodeFailure(ErrorKind kind, const std::string& message) {
    return PayloadWriter()
        .Int(static_cast<std::int64_t>(kind))
        .Text(CutFailureText(message))
        .Bytes();
}

Failure DecodeFailure(const std::string& payload) {
    PayloadReader reader(payload);
    const std::int64_t kind = reader.Int();
    Failure failure;
    failure.Message = CutFailureText(reader.Text());
    reader.End();
    if (kind < 0 || kind > static_cast<std::int64_t>(kLastErrorKind)) {
        throw EProtocolError("a failure of unknown kind " + std::to_string(kind));
    }
    failure.Kind = static_cast<ErrorKind>(kind);
    return failure;
}

std::string FrameBytes(FrameType type, std::int64_t index, const std::string& payload) {
    const Header header{static_cast<std::uint32_t>(type), 0, index, payload.size()};
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

void Channel::Send(FrameType type, std::int64_t index, const std::string& payload, int file) {
    const FrameRule& rule = *FindFrameRule(static_cast<std::uint32_t>(type));
    if (rule.From != FSelf || (rule.Stages & StageBit(FStage)) == 0 ||
        payload.size() > rule.MaxPayload || (file >= 0 && rule.File == WireFile::None) ||
        (file < 0 && rule.File == WireFile::Required)) {
        throw Error(std::string("A page worker cannot be sent ") + rule.Name + " while " +
                    StageName(FStage));
    }
    Header header{static_cast<std::uint32_t>(type), file >= 0 ? kCarriesFile : 0, index,
                  payload.size()};
    iovec parts[2] = {{&header, sizeof header},
                      {const_cast<char*>(payload.data()), payload.size()}};
    std::size_t left = sizeof header + payload.size();
    iovec* next = parts;
    std::size_t count = payload.empty() ? 1 : 2;
    // The descriptor rides on the frame's first byte.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    bool fileSent = file < 0;
    while (left > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = count;
        if (!fileSent) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* rights = CMSG_FIRSTHDR(&message);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(rights), &file, sizeof(int));
        }
        const ssize_t sent = ::sendmsg(FSocket.Get(), &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            throw Error(std::string("The connection to a page worker broke: ") +
                        std::strerror(errno));
        }
        fileSent = true;
        left -= static_cast<std::size_t>(sent);
        SkipSent(next, count, static_cast<std::size_t>(sent));
    }
    FStage = rule.Next;
    if (rule.From == WireSide::Parent) {
        FAsked = index;
    }
}

void Channel::TakeControl(msghdr& message, bool first) {
    // Every descriptor that came is owned before anything is decided, so that each is closed
    // whatever happens next.
    std::vector<FileDescriptor> files;
    bool foreign = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len >= CMSG_LEN(0)) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                files.emplace_back(fd);
            }
        } else {
            foreign = true;
        }
    }
    if ((message.msg_flags & MSG_CTRUNC) != 0) {
        throw EProtocolError("more control data than a frame may carry");
    }
    if (foreign) {
        throw EProtocolError("control data that is not a descriptor");
    }
    if (files.empty()) {
        return;
    }
    if (FSelf == WireSide::Parent) {
        throw EProtocolError("a descriptor from the worker");
    }
    // It rides on a frame's first byte, alone.
    if (!first || files.size() > 1 || FFile) {
        throw EProtocolError("a descriptor that belongs to no frame");
    }
    FFile = std::move(files.front());
}

bool Channel::ReadSome(bool wait) {
    if (FEnded) {
        return false;
    }
    const std::size_t have = FInput.size();
    std::size_t want = sizeof(Header) - std::min(have, sizeof(Header));
    if (want == 0) {
        Header header{};
        std::memcpy(&header, FInput.data(), sizeof header);
        want = sizeof(Header) + static_cast<std::size_t>(header.Length) - have;
    }
    if (want == 0) {
        return false;
    }
    // Header bytes first, then exactly the payload the checked header announced: nothing beyond
    // the frame in hand is ever read, so no size but the table's is ever buffered.
    FInput.resize(have + want);
    iovec part{FInput.data() + have, want};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kControlFiles)];
    std::memset(control, 0, sizeof control);
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = ::recvmsg(FSocket.Get(), &message, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
    } while (got < 0 && errno == EINTR);
    FInput.resize(have + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return false;
    }
    if (got <= 0) {
        FEnded = true;
        return false;
    }
    // Only a read that returned data has control data to look at.
    TakeControl(message, have == 0);
    if (have < sizeof(Header) && FInput.size() >= sizeof(Header)) {
        CheckHeader();
    }
    return true;
}

void Channel::CheckHeader() {
    Header header{};
    std::memcpy(&header, FInput.data(), sizeof header);
    const FrameRule* rule = FindFrameRule(header.Type);
    if (rule == nullptr) {
        throw EProtocolError("a frame of unknown type " + std::to_string(header.Type));
    }
    const std::string frame = AFrame(rule->Name);
    if (rule->From == FSelf) {
        throw EProtocolError(frame + ", which only the other side sends");
    }
    if ((rule->Stages & StageBit(FStage)) == 0) {
        throw EProtocolError(frame + " while " + StageName(FStage));
    }
    if (header.Length > rule->MaxPayload) {
        throw EProtocolError(frame + " of " + std::to_string(header.Length) +
                             " bytes, more than the " + std::to_string(rule->MaxPayload) +
                             " it may have");
    }
    if ((header.Flags & ~kCarriesFile) != 0) {
        throw EProtocolError(frame + " with unknown flags");
    }
    const bool carries = (header.Flags & kCarriesFile) != 0;
    if (carries != static_cast<bool>(FFile) || (carries && rule->File == WireFile::None) ||
        (!carries && rule->File == WireFile::Required)) {
        throw EProtocolError(frame + " with a descriptor it may not have");
    }
    if (rule->From == WireSide::Worker && header.Index != FAsked) {
        throw EProtocolError(frame + " about " + std::to_string(header.Index) + " where " +
                             std::to_string(FAsked) + " was asked");
    }
    FRule = rule;
}

Frame Channel::TakeFrame() {
    Header header{};
    std::memcpy(&header, FInput.data(), sizeof header);
    Frame frame;
    frame.Type = FRule->Type;
    frame.Index = header.Index;
    frame.Payload = FInput.substr(sizeof header);
    frame.File = std::move(FFile);
    frame.Stage = FStage;
    if (frame.Type == FrameType::Failed &&
        !FailureKindAllowed(FStage, DecodeFailure(frame.Payload).Kind)) {
        throw EProtocolError("a failure of a kind impossible while " +
                             std::string(StageName(FStage)));
    }
    FStage = FRule->Next;
    if (FRule->From == WireSide::Parent) {
        FAsked = frame.Index;
    }
    FInput.clear();
    FRule = nullptr;
    return frame;
}

bool Channel::Whole() const {
    if (FRule == nullptr) {
        return false;
    }
    Header header{};
    std::memcpy(&header, FInput.data(), sizeof header);
    return FInput.size() == sizeof header + header.Length;
}

std::optional<Frame> Channel::ReadFrame() {
    for (;;) {
        if (Whole()) {
            return TakeFrame();
        }
        if (!ReadSome(/*wait=*/false)) {
            return std::nullopt;
        }
    }
}

std::optional<Frame> Channel::Receive() {
    for (;;) {
        if (Whole()) {
            return TakeFrame();
        }
        if (!ReadSome(/*wait=*/true)) {
            if (!FInput.empty()) {
                throw Error("A page worker's connection ended in the middle of a message");
            }
            return std::nullopt;
        }
    }
}

} // namespace folioxa
