#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace folioxa {

// The one thread on which the window's process calls the PDF engine (the engine wants every
// call from one thread), so that the user-interface thread keeps repainting while the engine
// opens a document that takes it long.
class TEngineThread {
public:
    TEngineThread();
    // Waits for the job in hand, then ends the thread.
    ~TEngineThread();
    TEngineThread(const TEngineThread&) = delete;
    TEngineThread& operator=(const TEngineThread&) = delete;

    // Runs `job` on the engine thread and returns when it is done, turning the caller's event
    // loop meanwhile (repaints, timers; user input waits until afterwards). What the job throws
    // is thrown here. Not re-entrant (std::logic_error): while one job waits, user input waits
    // too, and nothing else of the window calls the engine.
    void Run(const std::function<void()>& job);
    // True while a Run waits.
    bool Busy() const { return FBusy; }

private:
    void Loop();

    std::mutex FMutex;
    std::condition_variable FWake;
    std::deque<std::function<void()>> FJobs;
    bool FQuit = false;
    bool FBusy = false;
    std::thread FThread; // last: starts once everything above exists
};

} // namespace folioxa
