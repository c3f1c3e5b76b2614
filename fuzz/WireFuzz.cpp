// The parent's side of the wire under whatever a worker may send: byte streams cut into sends,
// some carrying descriptors, read in each stage of the exchange. Every frame the parent takes
// must be one the table allows there, whole and without a descriptor; a refused stream ends in
// EProtocolError, never anything else; no descriptor outlives the read, however it came.
// Input: the stage byte, then sends of [length byte][descriptors byte][bytes].
#include "FuzzCheck.h"
#include "pool/Wire.h"
#include "support/WirePair.h"

#include <filesystem>

namespace folioxa::fuzz {
namespace {

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

void TakeFrame(const Frame& frame) {
    const FrameRule* rule = FindFrameRule(static_cast<std::uint32_t>(frame.Type));
    FUZZ_CHECK(rule != nullptr, "a frame of no type");
    FUZZ_CHECK(rule->From == WireSide::Worker, rule->Name);
    FUZZ_CHECK((rule->Stages & StageBit(frame.Stage)) != 0, rule->Name);
    FUZZ_CHECK(frame.Payload.size() <= rule->MaxPayload, rule->Name);
    FUZZ_CHECK(!frame.File, "a descriptor reached the parent");
    // The payload as the pool reads it; a malformed one is refused as a protocol error.
    try {
        switch (frame.Type) {
        case FrameType::Opened:
            FUZZ_CHECK(DecodeCount(frame.Payload) >= 0, "a negative page count");
            break;
        case FrameType::PageSize:
            (void)DecodePageSize(frame.Payload);
            break;
        case FrameType::Drawn:
            FUZZ_CHECK(DecodeDrawn(frame.Payload).Size.Width >= 0, "a negative width");
            break;
        case FrameType::Failed: {
            const Failure failure = DecodeFailure(frame.Payload);
            FUZZ_CHECK(failure.Message.size() <= kMaxFailureText, "a failure text not cut");
            FUZZ_CHECK(FailureKindAllowed(frame.Stage, failure.Kind),
                       "a failure of a kind refused");
            break;
        }
        default:
            FUZZ_CHECK(false, rule->Name);
        }
    } catch (const EProtocolError&) {
    }
}

void Run(ByteReader& input) {
    testing::TWirePair wire;
    wire.Reach(static_cast<WireStage>(input.Byte() % 5));
    while (input.Remaining() > 0) {
        const std::size_t length = input.Byte();
        const int files = input.Byte() % 9;
        std::string bytes;
        for (std::size_t i = 0; i < length && input.Remaining() > 0; ++i) {
            bytes += static_cast<char>(input.Byte());
        }
        if (bytes.empty() || !wire.SendRaw(bytes, files)) {
            break;
        }
    }
    wire.CloseWorker();
    try {
        while (std::optional<Frame> frame = wire.Parent.ReadFrame()) {
            TakeFrame(*frame);
        }
        FUZZ_CHECK(wire.Parent.Ended(), "the stream stopped short of its end");
    } catch (const EProtocolError&) {
    }
}

} // namespace
} // namespace folioxa::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace folioxa::fuzz;
    const int before = OpenDescriptors();
    ByteReader input(data, size);
    Run(input);
    FUZZ_CHECK(OpenDescriptors() == before, "a descriptor outlived the read");
    return 0;
}
