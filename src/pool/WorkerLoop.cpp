#include "pool/WorkerLoop.h"

#include "base/Error.h"
#include "conversion/AvailableMemory.h"
#include "conversion/ConversionJob.h"
#include "conversion/ImageFormats.h"
#include "conversion/Messages.h"
#include "imaging/ByteSink.h"
#include "imaging/PageBitmap.h"
#include "pool/MemoryLimit.h"

#include <chrono>
#include <memory>
#include <optional>

namespace folioxa {

namespace {

// The file's bytes as Data frames of up to a megabyte each.
class ChannelSink : public ByteSink {
public:
    ChannelSink(Channel& channel, std::int64_t index) : FChannel(channel), FIndex(index) {}

    void Write(const void* data, std::size_t size) override {
        const auto* bytes = static_cast<const char*>(data);
        while (size > 0) {
            const std::size_t piece = std::min(size, kFrameBytes - FBuffer.size());
            FBuffer.append(bytes, piece);
            bytes += piece;
            size -= piece;
            if (FBuffer.size() == kFrameBytes) {
                Flush();
            }
        }
    }
    void Flush() {
        if (!FBuffer.empty()) {
            FChannel.Send(FrameType::Data, FIndex, FBuffer);
            FBuffer.clear();
        }
    }

private:
    static constexpr std::size_t kFrameBytes = std::size_t{1} << 20;
    Channel& FChannel;
    std::int64_t FIndex;
    std::string FBuffer;
};

struct OpenDocument {
    DocumentJob Job;
    ConversionDocument* Document = nullptr;
    std::unique_ptr<ImageWriter> Writer;
    std::optional<Failure> OpenFailure; // every entry of the document fails with it
};

// Waits for the parent's leave to draw entry `index`. False when the parent has gone.
bool AwaitGo(Channel& channel, std::int64_t index) {
    for (;;) {
        std::optional<Frame> frame = channel.Receive();
        if (!frame) {
            return false;
        }
        if (frame->Type == FrameType::Go && frame->Index == index) {
            return true;
        }
        throw Error("A page worker was told something out of turn");
    }
}

void DrawEntry(Channel& channel, OpenDocument& open, std::int64_t index, const std::string& text) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    FailureStage stage = FailureStage::BeforeFile;
    // While the engine loads and draws the page, a death over the memory cap names it too.
    const std::uint64_t limit = MemoryLimit();
    std::optional<TMemoryReport> report;
    if (limit > 0) {
        report.emplace(FrameBytes(FrameType::Failed, index,
                                  EncodeFailure({ErrorKind::OutOfMemory, FailureStage::BeforeFile,
                                                 MemoryLimitMessage(text, limit)})));
    }
    try {
        ConversionDocument& document = *open.Document;
        const EntryPage page = SelectEntryPage(document, text, open.Job.Sizing);
        channel.Send(FrameType::Size, index, EncodeSize(page.Width, page.Height));
        if (!AwaitGo(channel, index)) {
            return;
        }
        const std::unique_ptr<PageBitmap> bitmap = DrawEntryPage(document, text, page);
        report.reset();
        CheckPage(open.Writer.get(), *bitmap);
        stage = FailureStage::AfterFile;
        ChannelSink sink(channel, index);
        EncodePage(open.Writer.get(), *bitmap, sink);
        sink.Flush();
    } catch (const std::exception& e) {
        report.reset();
        Failure failure = FailureOf(e, stage);
        if (limit > 0 && failure.Kind == ErrorKind::OutOfMemory) {
            failure.Message = MemoryLimitMessage(text, limit);
        }
        channel.Send(FrameType::Failed, index, EncodeFailure(failure));
        return;
    }
    const auto microseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    channel.Send(FrameType::Done, index, EncodeDone(microseconds));
}

} // namespace

int RunWorkerLoop(Channel& channel, WorkerEngine& engine) {
    OpenDocument open;
    while (std::optional<Frame> frame = channel.Receive()) {
        switch (frame->Type) {
        case FrameType::Document:
            try {
                open = OpenDocument{};
                open.Job = DecodeDocumentJob(frame->Payload);
                // The parent's reading of free memory stands for all its workers: what one worker
                // sees shrinks as the others draw.
                const std::uint64_t available = open.Job.AvailableMemory;
                SetAvailableMemoryProbe([available]() -> std::optional<std::uint64_t> {
                    return available > 0 ? std::optional<std::uint64_t>(available) : std::nullopt;
                });
                WriterOptions options;
                options.JpegQuality = open.Job.JpegQuality;
                open.Writer =
                    CreateWriter(StandardImageFormats().Find(open.Job.ImageType), options);
                open.Document = &engine.Open(open.Job, std::move(frame->File));
            } catch (const std::exception& e) {
                open.Document = nullptr;
                open.OpenFailure = FailureOf(EOpenError(e.what()), FailureStage::BeforeFile);
            }
            break;
        case FrameType::Entry: {
            auto [document, text] = DecodeEntry(frame->Payload);
            if (document != open.Job.Id) {
                throw Error("A page worker was given an entry of a document it has not open");
            }
            if (open.OpenFailure) {
                channel.Send(FrameType::Failed, frame->Index, EncodeFailure(*open.OpenFailure));
            } else {
                DrawEntry(channel, open, frame->Index, text);
            }
            break;
        }
        default:
            throw Error("A page worker was told something out of turn");
        }
    }
    return 0;
}

} // namespace folioxa
