#include "pool/Wire.h"

#include "base/IoVector.h"
#include "conversion/Messages.h"
#include "imaging/JpegWriter.h"
#include "imaging/OutputFile.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

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

// The longest payload a frame may announce: a whole BMP file of the largest page.
constexpr std::uint64_t kMaxPayload = std::uint64_t{1} << 33;

class PayloadWriter {
public:
    PayloadWriter& Int(std::int64_t value) {
        FBytes.append(reinterpret_cast<const char*>(&value), sizeof value);
        return *this;
    }
    PayloadWriter& Text(const std::string& text) {
        Int(static_cast<std::int64_t>(text.size()));
        FBytes += text;
        return *this;
    }
    std::string Bytes() { return std::move(FBytes); }

private:
    std::string FBytes;
};

class PayloadReader {
public:
    explicit PayloadReader(const std::string& bytes) : FBytes(bytes) {}
    std::int64_t Int() {
        std::int64_t value = 0;
        Need(sizeof value);
        std::memcpy(&value, FBytes.data() + FAt, sizeof value);
        FAt += sizeof value;
        return value;
    }
    std::string Text() {
        const std::int64_t size = Int();
        if (size < 0) {
            Bad();
        }
        Need(static_cast<std::size_t>(size));
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
    void Need(std::size_t size) const {
        if (FBytes.size() - FAt < size) {
            Bad();
        }
    }
    [[noreturn]] static void Bad() { throw Error("A page worker sent a malformed message"); }

    const std::string& FBytes;
    std::size_t FAt = 0;
};

std::int32_t Narrow(std::int64_t value) {
    return value < INT32_MIN || value > INT32_MAX ? 0 : static_cast<std::int32_t>(value);
}

} // namespace

Failure FailureOf(const std::exception& error, FailureStage stage) {
    return {KindOf(error), stage, error.what()};
}

void ThrowFailure(const Failure& failure) {
    const std::string& m = failure.Message;
    // The classes the trusted side catches by name; every other kind travels as a plain Error
    // of its kind.
    switch (failure.Kind) {
    case ErrorKind::OutOfMemory:
        throw EOutOfMemory(m);
    case ErrorKind::CreateFile:
        throw EFCreateError(m);
    case ErrorKind::Write:
        throw EWriteError(m);
    case ErrorKind::Jpeg:
        throw EJPEG(m);
    case ErrorKind::Convert:
        throw EConvertError(m);
    case ErrorKind::List:
        throw EListError(m);
    case ErrorKind::PageSize:
        throw EPageSizeError(m);
    case ErrorKind::Open:
        throw EOpenError(m);
    default:
        throw Error(failure.Kind, m);
    }
}

DocumentJob DocumentJobOf(const ConversionSettings& settings) {
    DocumentJob job;
    job.FileName = settings.InputFileName;
    job.Password = settings.InputPassword;
    job.ImageType = settings.ImageType;
    job.Sizing = SizingOf(settings);
    job.JpegQuality = settings.JpegQuality;
    return job;
}

std::string EncodeDocumentJob(const DocumentJob& job) {
    return PayloadWriter()
        .Int(job.Id)
        .Text(job.FileName)
        .Text(job.Password)
        .Text(job.ImageType)
        .Int(job.Sizing.Resolution)
        .Int(job.JpegQuality)
        .Int(job.Sizing.ScaleTo)
        .Int(job.Sizing.ScaleToX)
        .Int(job.Sizing.ScaleToY)
        .Int(static_cast<std::int64_t>(job.AvailableMemory))
        .Bytes();
}

DocumentJob DecodeDocumentJob(const std::string& payload) {
    PayloadReader reader(payload);
    DocumentJob job;
    job.Id = reader.Int();
    job.FileName = reader.Text();
    job.Password = reader.Text();
    job.ImageType = reader.Text();
    job.Sizing.Resolution = Narrow(reader.Int());
    job.JpegQuality = Narrow(reader.Int());
    job.Sizing.ScaleTo = Narrow(reader.Int());
    job.Sizing.ScaleToX = Narrow(reader.Int());
    job.Sizing.ScaleToY = Narrow(reader.Int());
    job.AvailableMemory = static_cast<std::uint64_t>(reader.Int());
    reader.End();
    return job;
}

std::string EncodeEntry(std::int64_t document, const std::string& text) {
    return PayloadWriter().Int(document).Text(text).Bytes();
}

std::pair<std::int64_t, std::string> DecodeEntry(const std::string& payload) {
    PayloadReader reader(payload);
    const std::int64_t document = reader.Int();
    std::string text = reader.Text();
    reader.End();
    return {document, std::move(text)};
}

std::string EncodeSize(std::int32_t width, std::int32_t height) {
    return PayloadWriter().Int(width).Int(height).Bytes();
}

std::pair<std::int32_t, std::int32_t> DecodeSize(const std::string& payload) {
    PayloadReader reader(payload);
    const std::int32_t width = Narrow(reader.Int());
    const std::int32_t height = Narrow(reader.Int());
    reader.End();
    return {width, height};
}

std::string EncodeDone(std::int64_t microseconds) {
    return PayloadWriter().Int(microseconds).Bytes();
}

std::int64_t DecodeDone(const std::string& payload) {
    PayloadReader reader(payload);
    const std::int64_t microseconds = reader.Int();
    reader.End();
    return microseconds;
}

std::string EncodeFailure(const Failure& failure) {
    return PayloadWriter()
        .Int(static_cast<std::int64_t>(failure.Kind))
        .Int(static_cast<std::int64_t>(failure.Stage))
        .Text(failure.Message)
        .Bytes();
}

Failure DecodeFailure(const std::string& payload) {
    PayloadReader reader(payload);
    Failure failure;
    const std::int64_t kind = reader.Int();
    const std::int64_t stage = reader.Int();
    failure.Message = reader.Text();
    reader.End();
    failure.Kind = kind >= 0 && kind <= static_cast<std::int64_t>(kLastErrorKind)
                       ? static_cast<ErrorKind>(kind)
                       : ErrorKind::Other;
    failure.Stage = stage == static_cast<std::int64_t>(FailureStage::AfterFile)
                        ? FailureStage::AfterFile
                        : FailureStage::BeforeFile;
    return failure;
}

std::string FrameBytes(FrameType type, std::int64_t index, const std::string& payload) {
    const Header header{static_cast<std::uint32_t>(type), 0, index, payload.size()};
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

void Channel::Send(FrameType type, std::int64_t index, const void* payload, std::size_t size,
                   int file) {
    Header header{static_cast<std::uint32_t>(type), file >= 0 ? kCarriesFile : 0, index, size};
    iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(payload), size}};
    std::size_t left = sizeof header + size;
    iovec* next = parts;
    std::size_t count = size > 0 ? 2 : 1;
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
}

long Channel::ReadSome(std::size_t limit, bool wait) {
    if (FConsumed > 0 && FConsumed * 2 >= FInput.size()) {
        FInput.erase(0, FConsumed);
        FConsumed = 0;
    }
    const std::size_t old = FInput.size();
    FInput.resize(old + limit);
    iovec part{FInput.data() + old, limit};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = ::recvmsg(FSocket.Get(), &message, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
    } while (got < 0 && errno == EINTR);
    FInput.resize(old + (got > 0 ? static_cast<std::size_t>(got) : 0));
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                FFiles.emplace_back(fd);
            }
        }
    }
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return got > 0 ? static_cast<long>(got) : -1;
}

long Channel::ReadAvailable(std::size_t limit) {
    return ReadSome(limit, /*wait=*/false);
}

std::optional<Frame> Channel::NextFrame() {
    const std::size_t available = FInput.size() - FConsumed;
    if (available < sizeof(Header)) {
        return std::nullopt;
    }
    Header header{};
    std::memcpy(&header, FInput.data() + FConsumed, sizeof header);
    if (header.Length > kMaxPayload) {
        throw Error("A page worker sent a malformed message");
    }
    if (available - sizeof header < header.Length) {
        return std::nullopt;
    }
    Frame frame;
    frame.Type = static_cast<FrameType>(header.Type);
    frame.Index = header.Index;
    frame.Payload = FInput.substr(FConsumed + sizeof header, header.Length);
    FConsumed += sizeof header + header.Length;
    if ((header.Flags & kCarriesFile) != 0) {
        if (FFiles.empty()) {
            throw Error("A page worker sent a malformed message");
        }
        frame.File = std::move(FFiles.front());
        FFiles.erase(FFiles.begin());
    }
    return frame;
}

std::optional<Frame> Channel::Receive() {
    for (;;) {
        if (std::optional<Frame> frame = NextFrame()) {
            return frame;
        }
        if (ReadSome(std::size_t{1} << 16, /*wait=*/true) <= 0) {
            if (FInput.size() != FConsumed) {
                throw Error("A page worker's connection ended in the middle of a message");
            }
            return std::nullopt;
        }
    }
}

} // namespace folioxa
