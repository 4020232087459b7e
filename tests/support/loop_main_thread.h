#pragma once
// The framework's own main loop as the main thread of a test: its hand-over
// is installed for the test's life. Declare it before the components that
// use it: at its end (after they have closed) it shuts the loop down, puts
// the former hand-over back and waits for every worker thread to end, so no
// test leaves a thread behind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "framework/main_loop.h"
#include "framework/thread.h"

namespace pelk::test {

struct LoopMainThread {
    MainLoop Loop;
    std::shared_ptr<MainThreadDispatcher> Old = SetMainThreadDispatcher(Loop.Dispatcher());

    ~LoopMainThread() {
        Loop.Shutdown();
        SetMainThreadDispatcher(Old);
        EXPECT_TRUE(TThread::WaitForAll(std::chrono::seconds(10))) << "a worker thread did not end";
    }
};

}  // namespace pelk::test
