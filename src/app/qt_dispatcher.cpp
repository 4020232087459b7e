#include "app/qt_dispatcher.h"

#include <QCoreApplication>
#include <QThread>

namespace pelk {

QtMainThreadDispatcher::QtMainThreadDispatcher() : MainThread(QThread::currentThread()), Receiver(new QObject) {}

QtMainThreadDispatcher::~QtMainThreadDispatcher() {
    Shutdown();
}

void QtMainThreadDispatcher::RunAndWait(const std::function<void()>& call) {
    if (QThread::currentThread() == MainThread) {
        if (!Gone) call();
        return;
    }
    auto pending = std::make_shared<Pending>();
    std::unique_lock<std::mutex> lock(Mutex);
    if (Gone) return;
    Waiting.insert(pending);
    // Runs on the main thread. The worker is still waiting there (only
    // Shutdown, also on the main thread, could have released it, and it
    // deletes the receiver and with it this queued call), so `call` is alive.
    QMetaObject::invokeMethod(
        Receiver,
        [this, pending, &call] {
            std::exception_ptr error;
            try {
                call();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard<std::mutex> guard(Mutex);
            pending->Error = error;
            pending->Finished = true;
            Changed.notify_all();
        },
        Qt::QueuedConnection);
    Changed.wait(lock, [&] { return pending->Finished; });
    Waiting.erase(pending);
    if (pending->Error) {
        const std::exception_ptr error = pending->Error;
        lock.unlock();
        std::rethrow_exception(error);
    }
}

void QtMainThreadDispatcher::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(Mutex);
        if (Gone) return;
        Gone = true;
        for (const auto& p : Waiting) p->Finished = true;
        Changed.notify_all();
    }
    // Deleting the receiver drops the calls still queued for it.
    delete Receiver;
    Receiver = nullptr;
}

namespace {
std::shared_ptr<QtMainThreadDispatcher> Installed;
}

void InstallQtMainThreadDispatcher() {
    Installed = std::make_shared<QtMainThreadDispatcher>();
    SetMainThreadDispatcher(Installed);
}

void UninstallQtMainThreadDispatcher() {
    if (!Installed) return;
    Installed->Shutdown();
    SetMainThreadDispatcher(nullptr);
    Installed.reset();
}

}  // namespace pelk
