#include "pool/PooledConversion.h"

#include "conversion/ImageFormats.h"
#include "conversion/Messages.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace folioxa {

TPooledConversion::TPooledConversion(const ConversionSettings& settings,
                                     ConversionDocument& document, ConversionView& view,
                                     PoolOptions options, RunObserver observer)
    : FSettings(settings), FView(view), FObserver(std::move(observer)),
      FSession(FSettings, document, view) {
    if (!FSession.Listed()) {
        FFinished = true;
        return;
    }
    FSession.Show();
    FCount = FSession.Pages().Count();
    try {
        // The serial run makes its writer here, so a setting the writer refuses ends the run
        // before its first entry; the workers make their own.
        (void)CreateWriter(StandardImageFormats().Find(FSettings.ImageType),
                           WriterOptions{FSettings.JpegQuality});
        if (FCount > 0) {
            // The workers read the very file this process opened, never its path again.
            auto file = std::make_shared<FileDescriptor>(
                ::open(FSettings.InputFileName.c_str(), O_RDONLY | O_CLOEXEC));
            if (!*file) {
                throw Error("Cannot open \"" + FSettings.InputFileName +
                            "\" for the page workers: " + std::strerror(errno));
            }
            PoolDocument pooled;
            pooled.Job = DocumentJobOf(FSettings);
            pooled.File = std::move(file);
            const PageList& pages = FSession.Pages();
            FPool = std::make_unique<TRenderPool>(std::move(options),
                                                  std::vector<PoolDocument>{std::move(pooled)},
                                                  FCount, [&pages](std::int64_t index) {
                                                      return PoolEntry{0, pages.Entry(index)};
                                                  });
        }
        CommitReady();
    } catch (...) {
        End();
        throw;
    }
}

TPooledConversion::~TPooledConversion() {
    Stop();
}

int TPooledConversion::EventFd() const {
    return !FFinished && FPool ? FPool->EventFd() : -1;
}

void TPooledConversion::Process() {
    if (FFinished) {
        return;
    }
    try {
        FPool->Process();
        CommitReady();
    } catch (...) {
        End();
        throw;
    }
}

std::string TPooledConversion::EntryText(std::int64_t index) const {
    return FSession.Pages().Entry(index);
}

std::string TPooledConversion::PathOf(const std::string& entry) const {
    return FSession.PathOf(entry);
}

void TPooledConversion::CommitReady() {
    using Clock = std::chrono::steady_clock;
    while (FWritten < FCount) {
        FrontEntry* front = FPool->Front();
        if (front == nullptr) {
            return;
        }
        const std::string entry = FSession.Pages().Entry(FWritten);
        if (FPath.empty()) {
            FPath = FSession.PathOf(entry);
            FSession.ShowEntry(FWritten);
            if (FObserver.OnEntryStarted) {
                FObserver.OnEntryStarted({FWritten, entry, FPath, 0, 0.0});
            }
        }
        if (front->Failed) {
            // A failure the serial run meets only once the file exists comes after the file's own.
            if (front->Failed->Stage == FailureStage::AfterFile && !FFile) {
                FFile.emplace(FPath);
            }
            ThrowFailure(*front->Failed);
        }
        if (!FFile) {
            FFile.emplace(FPath);
            FFileStart = Clock::now();
        }
        if (!front->Data.empty()) {
            FFile->Write(front->Data.data(), front->Data.size());
            front->Data.clear();
        }
        if (!front->Complete) {
            return;
        }
        FFile->Close();
        FFile.reset();
        const double ms =
            front->Milliseconds +
            std::chrono::duration<double, std::milli>(Clock::now() - FFileStart).count();
        const std::string path = std::exchange(FPath, {});
        FPool->Advance();
        if (FObserver.OnEntryWritten) {
            std::error_code error;
            const auto bytes = std::filesystem::file_size(path, error);
            FObserver.OnEntryWritten(
                {FWritten, entry, path, error ? -1 : static_cast<std::int64_t>(bytes), ms});
        }
        ++FWritten;
    }
    End();
    FView.ShowNotice(kCompleteNotice);
}

void TPooledConversion::End() {
    if (FFinished) {
        return;
    }
    FFinished = true;
    FFile.reset();
    FPool.reset();
    FSession.Finish();
}

void TPooledConversion::Stop() {
    End();
}

void RunPooledConversion(const ConversionSettings& settings, ConversionDocument& document,
                         ConversionView& view, const PoolOptions& options,
                         const RunObserver& observer) {
    TPooledConversion run(settings, document, view, options, observer);
    while (!run.Finished()) {
        pollfd events{run.EventFd(), POLLIN, 0};
        if (::poll(&events, 1, -1) < 0 && errno != EINTR) {
            throw Error(std::string("Cannot wait for the page workers: ") + std::strerror(errno));
        }
        run.Process();
    }
}

} // namespace folioxa
