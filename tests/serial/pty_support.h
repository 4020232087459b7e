#pragma once
// Pseudo-terminals and a main-thread rig for the serial tests and the
// serial benchmark.
//
// PtyPair: the test plays the far end of the line on the master side; the
// component opens the slave by name (through a COM1 link in a temporary
// working directory, support/temp_dir.h). The slave descriptor that openpty gives
// stays open, so the master does not see a hang-up when the component closes
// its own descriptor; line settings are read back with tcgetattr on the
// master, which reports the slave's settings.
//
// MainThreadRig: installs a pumped main-thread queue, so that the test's
// thread is the component's main thread, and records reported exceptions.
// At its end it shuts the queue down and waits for the component's worker
// threads to end, so no test leaves a thread behind.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/exception.h"
#include "framework/main_thread.h"
#include "framework/thread.h"
#include "serial/posix/line_settings.h"
#include "support/temp_dir.h"

namespace pelk::test {

using namespace std::chrono_literals;

class PtyPair {
public:
    PtyPair() {
        char name[256];
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) < 0) throw std::runtime_error("openpty failed");
        FSlavePath = name;
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        // Raw until the component sets its own settings: no echo of bytes
        // the test sends before that.
        termios t{};
        tcgetattr(FSlave, &t);
        cfmakeraw(&t);
        tcsetattr(FSlave, TCSANOW, &t);
    }
    ~PtyPair() {
        CloseMaster();
        CloseSlave();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }
    const std::string& SlavePath() const { return FSlavePath; }

    // Closing both ends hangs the line up for whoever still has the slave
    // open.
    void CloseMaster() {
        if (FMaster >= 0) ::close(FMaster);
        FMaster = -1;
    }
    void CloseSlave() {
        if (FSlave >= 0) ::close(FSlave);
        FSlave = -1;
    }

    void Send(const std::string& Bytes) const {
        size_t done = 0;
        while (done < Bytes.size()) {
            const ssize_t r = ::write(FMaster, Bytes.data() + done, Bytes.size() - done);
            if (r > 0) {
                done += static_cast<size_t>(r);
            } else {
                pollfd p{FMaster, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }

    // Reads from the master until Count bytes have come or Timeout has
    // passed; returns what came.
    std::string Receive(size_t Count, std::chrono::milliseconds Timeout = 5000ms) const {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + Timeout;
        while (got.size() < Count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            const ssize_t r = ::read(FMaster, buf, std::min(sizeof buf, Count - got.size()));
            if (r > 0) got.append(buf, static_cast<size_t>(r));
            else if (r == 0 || errno != EAGAIN) break;
        }
        return got;
    }

    // Everything that arrives until the line has been quiet for Quiet.
    std::string Drain(std::chrono::milliseconds Quiet = 100ms) const {
        std::string got;
        for (;;) {
            const std::string more = Receive(4096, Quiet);
            if (more.empty()) return got;
            got += more;
        }
    }

    // The slave's settings as the far end sees them.
    termios Attr() const {
        termios t{};
        tcgetattr(FMaster, &t);
        return t;
    }
    posix::LineTermios Attr2() const {
        posix::LineTermios t;
        posix::GetLineTermios(FMaster, t);
        return t;
    }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
};

class MainThreadRig {
public:
    MainThreadRig() : Queue(std::make_shared<PumpedMainThreadQueue>()) {
        FOldDispatcher = SetMainThreadDispatcher(Queue);
        FOldReport = SetExceptionReport([this](const std::exception& e) { Reports.emplace_back(e.what()); });
    }
    ~MainThreadRig() { Finish(); }
    MainThreadRig(const MainThreadRig&) = delete;
    MainThreadRig& operator=(const MainThreadRig&) = delete;

    // Runs queued calls until Done() holds (or 5 s have passed).
    bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout = 5000ms) {
        return Queue->PumpUntil(Done, Timeout);
    }
    // Runs whatever arrives during Span.
    void PumpFor(std::chrono::milliseconds Span) {
        const auto end = std::chrono::steady_clock::now() + Span;
        Queue->PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, Span + 1000ms);
    }
    // Runs the main thread's calls until every worker thread has ended: a
    // worker that handed a call over just as its port closed still waits
    // for the main thread.
    bool PumpUntilThreadsEnd(std::chrono::milliseconds Timeout = 5000ms) {
        const auto deadline = std::chrono::steady_clock::now() + Timeout;
        do {
            Queue->PumpAll();
            if (TThread::WaitForAll(5ms)) return true;
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // Shuts the queue down and waits for every worker thread to end; true
    // if they all did.
    bool Finish() {
        if (FFinished) return FAllEnded;
        FFinished = true;
        Queue->Shutdown();
        FAllEnded = TThread::WaitForAll(10s);
        SetMainThreadDispatcher(FOldDispatcher);
        SetExceptionReport(FOldReport);
        return FAllEnded;
    }

    std::shared_ptr<PumpedMainThreadQueue> Queue;
    std::vector<std::string> Reports;

private:
    std::shared_ptr<MainThreadDispatcher> FOldDispatcher;
    ExceptionReportHook FOldReport;
    bool FFinished = false;
    bool FAllEnded = true;
};

}  // namespace pelk::test
