#include "pool/WorkerLoop.h"

#include "base/Error.h"
#include "imaging/PageBitmap.h"
#include "pool/MemoryLimit.h"
#include "pool/PageBuffer.h"

#include <chrono>
#include <optional>

namespace folioxa {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

class TWorker {
public:
    TWorker(Channel& channel, WorkerEngine& engine) : FChannel(channel), FEngine(engine) {}

    void Handle(Frame& frame) {
        switch (frame.Type) {
        case FrameType::Open:
            Open(frame);
            break;
        case FrameType::Page:
            LoadPage(frame.Index, DecodeCount(frame.Payload));
            break;
        case FrameType::Draw:
            Draw(frame);
            break;
        default:
            throw Error("A page worker was told something it does not do");
        }
    }

private:
    // The engine's failure, as the wire carries it: a kind the stage does not allow is sent as
    // a plain failure, never as one the parent must refuse.
    void SendFailure(std::int64_t index, WireStage stage, const std::exception& error) {
        ErrorKind kind = KindOf(error);
        if (!FailureKindAllowed(stage, kind)) {
            kind = ErrorKind::Other;
        }
        FChannel.Send(FrameType::Failed, index, EncodeFailure(kind, error.what()));
    }

    // While the engine loads or draws a page, a death over the memory cap is reported too; the
    // parent names the page and the limit.
    static void ArmMemoryReport(std::optional<TMemoryReport>& report, std::int64_t index) {
        if (MemoryLimit() > 0) {
            report.emplace(
                FrameBytes(FrameType::Failed, index, EncodeFailure(ErrorKind::OutOfMemory, "")));
        }
    }

    void Open(Frame& frame) {
        FDocument = nullptr;
        FPrepared = false;
        try {
            FDocument = &FEngine.Open(DecodeOpen(frame.Payload), std::move(frame.File));
            const int count = FDocument->PageCount();
            FChannel.Send(FrameType::Opened, frame.Index, EncodeCount(count));
        } catch (const EProtocolError&) {
            throw;
        } catch (const std::exception& e) {
            FDocument = nullptr;
            SendFailure(frame.Index, WireStage::Opening, e);
        }
    }

    void LoadPage(std::int64_t index, int page) {
        if (FDocument == nullptr) {
            throw Error("A page worker was asked for a page with no document open");
        }
        const Clock::time_point start = Clock::now();
        std::optional<TMemoryReport> report;
        ArmMemoryReport(report, index);
        try {
            if (!FPrepared) {
                FEngine.PrepareDrawing();
                FPrepared = true;
            }
            SetPageMemory(FBuffer.Size(), 0);
            FDocument->SetPageNumber(page);
            // The width is read before the height, as the serial run reads them.
            PageSizePoints size;
            size.Width = FDocument->PageWidth();
            size.Height = FDocument->PageHeight();
            report.reset();
            FLoading = MicrosecondsSince(start);
            FChannel.Send(FrameType::PageSize, index, EncodePageSize(size));
        } catch (const std::exception& e) {
            report.reset();
            SendFailure(index, WireStage::Paging, e);
        }
    }

    void Draw(Frame& frame) {
        const Clock::time_point start = Clock::now();
        const PagePixels size = DecodeDraw(frame.Payload);
        const std::uint64_t pageBytes =
            static_cast<std::uint64_t>(size.Width) * static_cast<std::uint64_t>(size.Height) * 4;
        if (frame.File) {
            // The old buffer goes before the new one is mapped, within the page's limit.
            FBuffer.Replace(std::move(frame.File),
                            [pageBytes](std::uint64_t bytes) { SetPageMemory(bytes, pageBytes); });
        } else {
            SetPageMemory(FBuffer.Size(), pageBytes);
        }
        if (pageBytes > FBuffer.Size()) {
            throw Error("A page worker was asked to draw past its page buffer");
        }
        std::optional<TMemoryReport> report;
        ArmMemoryReport(report, frame.Index);
        try {
            PageBitmap bitmap = PageBitmap::View(FBuffer.Pixels(), size.Width, size.Height);
            FDocument->RenderPageInto(bitmap);
            report.reset();
            FChannel.Send(FrameType::Drawn, frame.Index,
                          EncodeDrawn({size, FLoading + MicrosecondsSince(start)}));
        } catch (const std::exception& e) {
            report.reset();
            SendFailure(frame.Index, WireStage::Drawing, e);
        }
    }

    Channel& FChannel;
    WorkerEngine& FEngine;
    ConversionDocument* FDocument = nullptr;
    bool FPrepared = false;
    std::int64_t FLoading = 0; // microseconds the page in hand took to load
    TPageMapping FBuffer;
};

} // namespace

int RunWorkerLoop(Channel& channel, WorkerEngine& engine) {
    TWorker worker(channel, engine);
    while (std::optional<Frame> frame = channel.Receive()) {
        worker.Handle(*frame);
    }
    return 0;
}

} // namespace folioxa
