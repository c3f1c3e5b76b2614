#include "app/EngineThread.h"

#include <QEventLoop>
#include <QMetaObject>

#include <exception>
#include <stdexcept>

namespace folioxa {

TEngineThread::TEngineThread() : FThread([this] { Loop(); }) {}

TEngineThread::~TEngineThread() {
    {
        const std::lock_guard lock(FMutex);
        FQuit = true;
    }
    FWake.notify_one();
    FThread.join();
}

void TEngineThread::Loop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(FMutex);
            FWake.wait(lock, [this] { return FQuit || !FJobs.empty(); });
            if (FJobs.empty()) {
                return;
            }
            job = std::move(FJobs.front());
            FJobs.pop_front();
        }
        job();
    }
}

void TEngineThread::Run(const std::function<void()>& job) {
    if (FBusy) {
        // Only user input could start a second job, and it waits: nothing else calls the engine.
        throw std::logic_error("the PDF engine thread was asked twice at once");
    }
    FBusy = true;
    QEventLoop loop;
    std::exception_ptr failure;
    {
        const std::lock_guard lock(FMutex);
        FJobs.emplace_back([&] {
            try {
                job();
            } catch (...) {
                failure = std::current_exception();
            }
            // Queued: the loop below leaves once it has run, however early this comes.
            QMetaObject::invokeMethod(
                &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });
    }
    FWake.notify_one();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    FBusy = false;
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace folioxa
