#include "pool/PooledConversion.h"

#include "conversion/ImageFormats.h"
#include "conversion/Messages.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

namespace folioxa {

namespace {

std::vector<PooledDocument> OneDocument(const ConversionSettings& settings, ConversionView& view,
                                        RunObserver observer) {
    std::vector<PooledDocument> documents(1);
    documents[0].Settings = settings;
    documents[0].View = &view;
    documents[0].Observer = std::move(observer);
    return documents;
}

// The file `name` names now, when it is still the one listed.
std::shared_ptr<FileDescriptor> OpenListedFile(const std::string& name,
                                               std::pair<dev_t, ino_t> listed) {
    auto file =
        std::make_shared<FileDescriptor>(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!*file || fstat(file->Get(), &status) != 0) {
        throw EOpenError("Cannot open file \"" + name + "\". " + std::strerror(errno));
    }
    if (std::pair{status.st_dev, status.st_ino} != listed) {
        throw EOpenError("Cannot open file \"" + name +
                         "\". It was replaced by another file during the run");
    }
    return file;
}

} // namespace

TPooledConversion::TPooledConversion(const ConversionSettings& settings, TWorkerDocument& document,
                                     ConversionView& view, PoolOptions options,
                                     RunObserver observer)
    : TPooledConversion(OneDocument(settings, view, std::move(observer)), document,
                        std::move(options)) {}

TPooledConversion::TPooledConversion(std::vector<PooledDocument> documents,
                                     TWorkerDocument& document, PoolOptions options)
    : FParts(documents.size()) {
    for (std::size_t i = 0; i < documents.size(); ++i) {
        FParts[i].Input = std::move(documents[i]);
    }
    // The document's worker is started as the pool's are, so that the pool can keep it.
    document.SetOptions(options);
    for (std::size_t i = 0; i < FParts.size(); ++i) {
        Open(i, document);
    }
    try {
        Start(std::move(options), document);
        CommitReady();
    } catch (...) {
        End();
        throw;
    }
}

void TPooledConversion::Open(std::size_t index, TWorkerDocument& document) {
    Part& part = FParts[index];
    // The one document lists one file at a time; the workers draw the pages.
    if (index > 0 && FParts[index - 1].Session) {
        FParts[index - 1].Session->ReleaseDocument();
    }
    const PooledDocument& input = part.Input;
    try {
        part.Session = std::make_unique<RunSession>(input.Settings, document, *input.View,
                                                    input.File ? input.File->Get() : -1);
        if (!part.Session->Listed()) {
            EndPart(part);
            return;
        }
        part.Session->Show();
        // The serial run makes its writer here, so a setting the writer refuses ends the run
        // before its first entry; the encoders make their own.
        (void)CreateWriter(StandardImageFormats().Find(input.Settings.ImageType),
                           WriterOptionsOf(input.Settings));
        part.Count = part.Session->Pages().Count();
        if (input.Settings.SkipExisting) {
            PlanSkips(part);
        }
        // The workers read the very file the document was opened from. Held from here to the
        // run's end it would cost a descriptor per document: a file opened by name is opened
        // again, and checked, when the pool reaches it.
        if (input.File) {
            part.WorkerFile = input.File;
        } else if (const auto file = document.File()) {
            struct stat status {};
            if (fstat(file->Get(), &status) == 0) {
                part.ListedFile = std::pair{status.st_dev, status.st_ino};
            }
        }
    } catch (const std::exception& e) {
        FailPart(part, e);
    }
}

void TPooledConversion::PlanSkips(Part& part) {
    const RunSession& session = *part.Session;
    // Not the run's folder, which is opened at its first file: this one may not exist yet.
    const OutputFolder folder(session.FolderPath());
    std::unordered_set<std::string> written;
    part.Skipped.assign(static_cast<std::size_t>(part.Count), false);
    for (std::int64_t i = 0; i < part.Count; ++i) {
        const std::string entry = session.Pages().Entry(i);
        const std::string path = session.PathOf(entry);
        // An entry that names no page still fails, whatever file its name holds.
        const bool page = NamesPage(entry, session.PageCount());
        if (page && (written.count(path) != 0 || folder.HoldsFile(folder.NameOf(path)))) {
            part.Skipped[static_cast<std::size_t>(i)] = true;
        } else {
            part.Drawn.push_back(i);
            written.insert(path);
        }
    }
    if (static_cast<std::int64_t>(part.Drawn.size()) == part.Count) {
        part.Skipped.clear();
        part.Drawn.clear();
    }
}

std::int64_t TPooledConversion::ListIndex(const Part& part, std::int64_t drawn) {
    return part.Skipped.empty() ? drawn : part.Drawn[static_cast<std::size_t>(drawn)];
}

void TPooledConversion::Start(PoolOptions options, TWorkerDocument& document) {
    std::vector<PoolDocument> pooled(FParts.size());
    std::int64_t toDraw = 0;
    for (std::size_t i = 0; i < FParts.size(); ++i) {
        const Part& part = FParts[i];
        FStarts.push_back(toDraw);
        if (!part.Ended && part.Count > 0) {
            const std::int64_t entries =
                part.Skipped.empty() ? part.Count : static_cast<std::int64_t>(part.Drawn.size());
            pooled[i].Job = DocumentJobOf(part.Input.Settings);
            pooled[i].File = part.WorkerFile;
            if (part.ListedFile) {
                pooled[i].OpenFile = [name = part.Input.Settings.InputFileName,
                                      listed = *part.ListedFile] {
                    return OpenListedFile(name, listed);
                };
            }
            pooled[i].Entries = entries;
            toDraw += entries;
            FCount += part.Count;
        }
    }
    if (FFinished || toDraw == 0) {
        return;
    }
    // The document still open is the last one opened: its worker draws for the pool.
    AdoptedWorker adopted;
    if (document.Active() && !FParts.back().Ended && pooled.back().Entries > 0) {
        adopted.Document = static_cast<std::int64_t>(FParts.size() - 1);
        adopted.Worker = document.TakeWorker();
    }
    FPool = std::make_unique<TRenderPool>(
        std::move(options), std::move(pooled),
        [this](std::int64_t index) {
            const std::size_t part = PartOf(index);
            return PoolEntry{static_cast<std::int64_t>(part),
                             FParts[part].Session->Pages().Entry(
                                 ListIndex(FParts[part], index - FStarts[part]))};
        },
        std::move(adopted), [this](std::int64_t index, bool drawn) { Drawing(index, drawn); });
}

std::size_t TPooledConversion::PartOf(std::int64_t index) const {
    return static_cast<std::size_t>(std::upper_bound(FStarts.begin(), FStarts.end(), index) -
                                    FStarts.begin() - 1);
}

void TPooledConversion::Drawing(std::int64_t index, bool drawn) {
    const Part& part = FParts[PartOf(index)];
    const RunObserver& observer = part.Input.Observer;
    const auto& hook = drawn ? observer.OnEntryDrawn : observer.OnEntryDrawing;
    if (!hook || !part.Session) {
        return;
    }
    const std::int64_t local = ListIndex(part, index - FStarts[PartOf(index)]);
    const std::string entry = part.Session->Pages().Entry(local);
    hook({local, entry, part.Session->PathOf(entry), 0, 0.0});
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

std::optional<NextEntry> TPooledConversion::Next() const {
    for (std::size_t i = FCurrent; i < FParts.size(); ++i) {
        const Part& part = FParts[i];
        std::int64_t index = part.Position;
        while (index < part.Count && !part.Skipped.empty() &&
               part.Skipped[static_cast<std::size_t>(index)]) {
            ++index;
        }
        if (part.Ended || !part.Session || index >= part.Count) {
            continue;
        }
        std::string text = part.Session->Pages().Entry(index);
        std::string path = part.Session->PathOf(text);
        return NextEntry{i, index, std::move(text), std::move(path)};
    }
    return std::nullopt;
}

void TPooledConversion::CommitReady() {
    while (FCurrent < FParts.size()) {
        Part& part = FParts[FCurrent];
        if (part.Ended) {
            ++FCurrent;
            continue;
        }
        if (part.Position == part.Count) {
            EndPart(part);
            part.Input.View->ShowCompleted();
            ++FCurrent;
            continue;
        }
        if (!part.Skipped.empty() && part.Skipped[static_cast<std::size_t>(part.Position)]) {
            Skip(part);
            continue;
        }
        FrontEntry* front = FPool->Front();
        if (front == nullptr) {
            return;
        }
        try {
            if (!WriteFront(part, *front)) {
                return;
            }
        } catch (const std::exception& e) {
            FFile.reset();
            FPath.clear();
            FPool->AdvanceDocument();
            FailPart(part, e);
            ++FCurrent;
        }
    }
    End();
}

bool TPooledConversion::WriteFront(Part& part, FrontEntry& front) {
    using Clock = std::chrono::steady_clock;
    const std::int64_t index = part.Position;
    const std::string entry = part.Session->Pages().Entry(index);
    const RunObserver& observer = part.Input.Observer;
    if (FPath.empty()) {
        FPath = part.Session->PathOf(entry);
        part.Session->ShowEntry(index);
        if (observer.OnEntryStarted) {
            observer.OnEntryStarted({index, entry, FPath, 0, 0.0});
        }
    }
    if (front.Failed) {
        // A failure the serial run meets only once the file exists comes after the file's own.
        if (front.Failed->Stage == FailureStage::AfterFile && !FFile) {
            CreateFile(part);
        }
        ThrowFailure(*front.Failed);
    }
    if (!FFile) {
        CreateFile(part);
        FFileStart = Clock::now();
    }
    if (!front.Data.empty()) {
        FFile->Write(front.Data.data(), front.Data.size());
        front.Data.clear();
    }
    if (!front.Complete) {
        return false;
    }
    FFile->Close();
    FFile.reset();
    const double ms = front.Milliseconds +
                      std::chrono::duration<double, std::milli>(Clock::now() - FFileStart).count();
    const std::string path = std::exchange(FPath, {});
    FPool->Advance();
    if (observer.OnEntryWritten) {
        observer.OnEntryWritten(
            {index, entry, path, part.Folder->SizeOf(part.Folder->NameOf(path)), ms});
    }
    ++part.Position;
    ++part.Written;
    ++FWritten;
    return true;
}

void TPooledConversion::Skip(Part& part) {
    const std::int64_t index = part.Position++;
    const std::string entry = part.Session->Pages().Entry(index);
    const std::string path = part.Session->PathOf(entry);
    part.Session->ShowEntry(index);
    if (part.Input.Observer.OnEntrySkipped) {
        const OutputFolder folder(part.Session->FolderPath());
        part.Input.Observer.OnEntrySkipped(
            {index, entry, path, folder.SizeOf(folder.NameOf(path)), 0.0});
    }
}

void TPooledConversion::CreateFile(Part& part) {
    if (!part.Folder) {
        const std::string path = part.Session->FolderPath();
        part.Folder = FLastFolder && FLastFolder->Path() == path ? FLastFolder
                                                                 : OutputFolder::OpenForRun(path);
        FLastFolder = part.Folder;
    }
    FFile.emplace(part.Folder, part.Folder->NameOf(FPath));
}

void TPooledConversion::EndPart(Part& part) {
    part.Ended = true;
    part.Folder.reset();
    const bool others =
        std::any_of(FParts.begin(), FParts.end(), [](const Part& other) { return !other.Ended; });
    if (!others) {
        End();
    } else if (part.Session) {
        part.Session->Finish();
    }
}

void TPooledConversion::FailPart(Part& part, const std::exception& failure) {
    EndPart(part);
    if (!part.Input.OnFailed) {
        End();
        throw;
    }
    part.Input.OnFailed(failure);
}

void TPooledConversion::End() {
    if (FFinished) {
        return;
    }
    FFinished = true;
    FFile.reset();
    FLastFolder.reset();
    FPool.reset();
    for (Part& part : FParts) {
        part.Ended = true;
        if (part.Session) {
            part.Session->Finish();
        }
    }
}

void TPooledConversion::Stop() {
    End();
}

void RunToEnd(TPooledConversion& run) {
    while (!run.Finished()) {
        pollfd events{run.EventFd(), POLLIN, 0};
        if (::poll(&events, 1, -1) < 0 && errno != EINTR) {
            throw Error(std::string("Cannot wait for the page workers: ") + std::strerror(errno));
        }
        run.Process();
    }
}

void RunPooledConversion(const ConversionSettings& settings, TWorkerDocument& document,
                         ConversionView& view, const PoolOptions& options,
                         const RunObserver& observer) {
    TPooledConversion run(settings, document, view, options, observer);
    RunToEnd(run);
}

} // namespace folioxa
