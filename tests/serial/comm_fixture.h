#pragma once
// A TVaComm set up as the application's CommPort (9600 bit/s, 8N1, no flow
// control, DTR and RTS inactive, 1000-byte queues), whose device COM1 is the
// slave of a pseudo-terminal published in a temporary working directory, and
// whose main thread is the test's thread.
#include <gtest/gtest.h>

#include <memory>

#include "pty_support.h"
#include "serial/vacomm.h"

namespace pelk::test {

inline void ApplyCommPortSettings(TVaCustomComm& Comm) {
    Comm.SetBaudrate(br9600);
    Comm.SetDeviceName("COM%d");
    Comm.SetPortNum(1);
    Comm.Buffers().SetReadSize(1000);
    Comm.Buffers().SetWriteSize(1000);
}

// Expects Call to raise EVaCommError with exactly Message.
template <class F>
void ExpectCommError(F&& Call, const std::string& Message) {
    try {
        Call();
        ADD_FAILURE() << "no EVaCommError, expected: " << Message;
    } catch (const EVaCommError& e) {
        EXPECT_EQ(e.Message(), Message);
    }
}

class CommTest : public ::testing::Test {
protected:
    CommTest() {
        Dir.Link("COM1", Pty.SlavePath());
        Comm = std::make_unique<TVaComm>();
        ApplyCommPortSettings(*Comm);
    }
    // Reads Count bytes from the far end while running the main thread's
    // calls, as the application's event loop would: a worker blocked in a
    // hand-over (the write thread after a drain) goes on only then.
    std::string Receive(size_t Count, std::chrono::milliseconds Timeout = std::chrono::milliseconds(5000)) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + Timeout;
        while (got.size() < Count && std::chrono::steady_clock::now() < deadline) {
            Rig.Queue->PumpAll();
            got += Pty.Receive(Count - got.size(), std::chrono::milliseconds(2));
        }
        return got;
    }
    // Everything the far end receives until the line has been quiet for
    // Quiet, running the main thread's calls meanwhile.
    std::string Drain(std::chrono::milliseconds Quiet = std::chrono::milliseconds(100)) {
        std::string got;
        auto quietSince = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - quietSince < Quiet) {
            Rig.Queue->PumpAll();
            const std::string more = Pty.Receive(4096, std::chrono::milliseconds(2));
            if (!more.empty()) {
                got += more;
                quietSince = std::chrono::steady_clock::now();
            }
        }
        return got;
    }

    void TearDown() override {
        Comm.reset();
        EXPECT_TRUE(Rig.Finish()) << "a worker thread did not end";
    }

    TempDir Dir{WorkIn::TheFolder};
    PtyPair Pty;
    MainThreadRig Rig;
    std::unique_ptr<TVaComm> Comm;
};

}  // namespace pelk::test
