// The parent's end of the wire against what a worker may send: only what the table allows in the
// stage at hand, whole, without a descriptor; everything else a protocol error naming the fault.
#include "pool/Wire.h"

#include "pool/PageBuffer.h"
#include "support/WirePair.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace folioxa {
namespace {

using testing::TWirePair;

std::string Header(FrameType type, std::int64_t index, std::uint64_t length,
                   std::uint32_t flags = 0) {
    std::string bytes(24, '\0');
    const auto code = static_cast<std::uint32_t>(type);
    std::memcpy(bytes.data(), &code, 4);
    std::memcpy(bytes.data() + 4, &flags, 4);
    std::memcpy(bytes.data() + 8, &index, 8);
    std::memcpy(bytes.data() + 16, &length, 8);
    return bytes;
}

int OpenDescriptors() {
    const std::filesystem::directory_iterator all("/proc/self/fd");
    return static_cast<int>(std::distance(all, std::filesystem::directory_iterator()));
}

struct Row {
    const char* Name;
    WireStage Stage;
    std::string Bytes;
    int Files;
    const char* Outcome; // the frame taken, or the start of the protocol error
};

TEST(Wire, TheParentTakesOnlyWhatTheTableAllows) {
    const std::string drawn = EncodeDrawn({{10, 10}, 5});
    const std::string huge = Header(FrameType::Failed, 7, std::uint64_t{300} << 20);
    const Row rows[] = {
        {"page size", WireStage::Paging, FrameBytes(FrameType::PageSize, 7, EncodePageSize({1, 2})),
         0, "PageSize"},
        {"drawn", WireStage::Drawing, FrameBytes(FrameType::Drawn, 7, drawn), 0, "Drawn"},
        {"opened", WireStage::Opening, FrameBytes(FrameType::Opened, 0, EncodeCount(3)), 0,
         "Opened"},
        {"engine failure", WireStage::Paging,
         FrameBytes(FrameType::Failed, 7, EncodeFailure(ErrorKind::Pdf, "x")), 0, "Failed"},
        {"descriptor", WireStage::Drawing, FrameBytes(FrameType::Drawn, 7, drawn), 1,
         "a descriptor from the worker"},
        {"descriptors past the room", WireStage::Drawing, FrameBytes(FrameType::Drawn, 7, drawn), 8,
         "more control data"},
        {"too large", WireStage::Paging, huge, 0, "a Failed frame of 314572800 bytes"},
        {"out of stage", WireStage::Paging, FrameBytes(FrameType::Drawn, 7, drawn), 0,
         "a Drawn frame while loading a page"},
        {"nothing asked", WireStage::Idle, FrameBytes(FrameType::Opened, 0, EncodeCount(1)), 0,
         "an Opened frame while idle"},
        {"an opening failure once open", WireStage::Paging,
         FrameBytes(FrameType::Failed, 7, EncodeFailure(ErrorKind::Open, "x")), 0,
         "a failure of a kind impossible"},
        {"a password failure while drawing", WireStage::Drawing,
         FrameBytes(FrameType::Failed, 7, EncodeFailure(ErrorKind::Password, "x")), 0,
         "a failure of a kind impossible"},
        {"another entry", WireStage::Drawing, FrameBytes(FrameType::Drawn, 8, drawn), 0,
         "a Drawn frame about 8 where 7"},
        {"the parent's own frame", WireStage::Sized,
         FrameBytes(FrameType::Draw, 7, EncodeDraw({1, 1})), 0,
         "a Draw frame, which only the other side"},
        {"unknown type", WireStage::Paging, Header(static_cast<FrameType>(99), 7, 0), 0,
         "a frame of unknown type 99"},
        {"flags", WireStage::Paging, Header(FrameType::PageSize, 7, 16, 1) + std::string(16, '\0'),
         0, "a PageSize frame with a descriptor"},
        {"payload short of its frame", WireStage::Opening, FrameBytes(FrameType::Opened, 0, "\x01"),
         0, "a malformed payload"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        const int before = OpenDescriptors();
        {
            TWirePair wire;
            wire.Reach(row.Stage);
            ASSERT_TRUE(wire.SendRaw(row.Bytes, row.Files));
            wire.CloseWorker();
            std::string outcome;
            try {
                while (std::optional<Frame> frame = wire.Parent.ReadFrame()) {
                    outcome = FindFrameRule(static_cast<std::uint32_t>(frame->Type))->Name;
                    EXPECT_FALSE(frame->File);
                    if (frame->Type == FrameType::Opened) {
                        (void)DecodeCount(frame->Payload);
                    }
                }
            } catch (const EProtocolError& e) {
                outcome = e.what();
            }
            EXPECT_THAT(outcome, ::testing::StartsWith(row.Outcome));
        }
        EXPECT_EQ(OpenDescriptors(), before) << "a descriptor outlived the read";
    }
}

// How a document's pages are drawn rides on its Open; a box or a flag the worker does not know
// is refused, never drawn some other way.
TEST(Wire, AnOpenCarriesItsDrawing) {
    const DrawingOptions drawing{PageBox::Trim, true, false, true};
    const OpenRequest request = DecodeOpen(EncodeOpen({"a.pdf", "secret", drawing}));
    EXPECT_EQ(request.FileName, "a.pdf");
    EXPECT_EQ(request.Password, "secret");
    EXPECT_TRUE(request.Drawing == drawing);
    EXPECT_TRUE(DecodeOpen(EncodeOpen({"a.pdf", "", {}})).Drawing == DrawingOptions{});
    const std::string plain = EncodeOpen({"a.pdf", "", {}});
    for (const auto& [box, flags] :
         {std::pair<std::int64_t, std::int64_t>{5, 0}, {-1, 0}, {1, 8}}) {
        std::string payload = plain;
        std::memcpy(payload.data() + payload.size() - 16, &box, 8);
        std::memcpy(payload.data() + payload.size() - 8, &flags, 8);
        EXPECT_THROW(DecodeOpen(payload), EProtocolError) << box << " " << flags;
    }
}

TEST(Wire, AFailureTextIsCutAtACharacterOnBothSides) {
    const std::string text = std::string(kMaxFailureText - 4, 'a') + "\xC3\xA9\xC3\xA9 and more";
    const std::string cut = CutFailureText(text);
    EXPECT_EQ(cut, std::string(kMaxFailureText - 4, 'a') + "...");
    EXPECT_EQ(CutFailureText("short"), "short");
    // A worker that does not cut is cut again on arrival.
    std::string payload(8, '\0');
    const auto size = static_cast<std::int64_t>(kMaxFailureText + 50);
    payload += std::string(reinterpret_cast<const char*>(&size), 8) +
               std::string(kMaxFailureText + 50, 'b');
    EXPECT_EQ(DecodeFailure(payload).Message, std::string(kMaxFailureText - 3, 'b') + "...");
}

// Whoever holds a page buffer can neither shrink it under the parent's reading (which would end
// the parent with SIGBUS) nor grow it; the worker's mapping is its only hold once mapped.
TEST(PageBuffer, KeepsItsSizeWhoeverHoldsIt) {
    TPageBuffer buffer(10000);
    EXPECT_EQ(buffer.Size() % 4096, 0U);
    EXPECT_GE(buffer.Size(), 10000U);
    for (const off_t size : {off_t{0}, off_t{4096}, static_cast<off_t>(buffer.Size()) * 2}) {
        EXPECT_NE(ftruncate(buffer.Fd(), size), 0) << size;
    }
    EXPECT_NE(fcntl(buffer.Fd(), F_ADD_SEALS, F_SEAL_WRITE), 0) << "no seal may be added";
    const int before = OpenDescriptors();
    TPageMapping mapping;
    mapping.Replace(FileDescriptor(fcntl(buffer.Fd(), F_DUPFD_CLOEXEC, 0)));
    EXPECT_EQ(OpenDescriptors(), before) << "the worker keeps the mapping, not the descriptor";
    mapping.Pixels()[buffer.Size() - 1] = 42;
    EXPECT_EQ(buffer.Pixels()[buffer.Size() - 1], 42);
}

} // namespace
} // namespace folioxa
