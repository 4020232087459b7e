#pragma once
// The main-thread hand-over on the window's Qt event loop: a worker's call
// is posted to the main thread's event loop and the worker waits until it
// has run. At shut-down every waiting worker is released without its call
// having run, so no worker can block the exit.
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "framework/main_thread.h"

namespace pelk {

class QtMainThreadDispatcher final : public MainThreadDispatcher {
public:
    // Must be created on the main thread, with the application object alive.
    QtMainThreadDispatcher();
    ~QtMainThreadDispatcher() override;

    void RunAndWait(const std::function<void()>& call) override;

    // Main thread only: releases every waiting worker and runs no further calls.
    void Shutdown();

private:
    struct Pending {
        bool Finished = false;
        std::exception_ptr Error;
    };
    std::mutex Mutex;
    std::condition_variable Changed;
    std::set<std::shared_ptr<Pending>> Waiting;
    bool Gone = false;
    QThread* const MainThread;
    QObject* Receiver;  // lives on the main thread; calls are posted to it
};

// Creates the dispatcher and installs it for the serial component, together
// with the main thread's message processing.
void InstallQtMainThreadDispatcher();
// Releases waiting workers and removes the dispatcher (before the event loop's
// objects go away).
void UninstallQtMainThreadDispatcher();

}  // namespace pelk
