#pragma once
// Wrappers of the synchronisation objects the serial component and its
// threads use: manual-reset (or auto-reset) events with timed waits and a
// wait for the first of several events, and critical sections that the
// holding thread may enter again.
//
// On Linux an event is an eventfd (posix/vaobjects.cpp): its descriptor
// (Handle) can be waited on together with a device in one poll(), which is
// how the worker threads wait for "stop" and the device at the same time.
// On Windows it is an event object (win32/vaobjects.cpp), its handle kept in
// the same int (kernel handles fit in 32 bits), waited together with the
// device's overlapped events in WaitForMultipleObjects.
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>

namespace pelk {

enum TVaEventWaitResult : uint8_t { wrSignaled, wrTimeout, wrAbandoned, wrError };

// Owns one platform handle (a file descriptor, or a Windows handle) and
// keeps the error code of its last failed wait.
class TVaHandleObject {
public:
    TVaHandleObject() = default;
    virtual ~TVaHandleObject();
    TVaHandleObject(const TVaHandleObject&) = delete;
    TVaHandleObject& operator=(const TVaHandleObject&) = delete;
    int Handle() const { return FHandle; }
    int LastError() const { return FLastError; }

protected:
    int FHandle = -1;
    int FLastError = 0;
};

class TVaEvent : public TVaHandleObject {
public:
    // EventAttributes and Name are accepted for the interface's sake: events
    // here are private to the process and unnamed. Raises std::system_error
    // when the system has no descriptor left.
    TVaEvent(const void* EventAttributes, bool ManualReset, bool InitialState, const std::string& Name);
    // Timeout in milliseconds; INFINITE (all bits set) waits without limit.
    // An auto-reset event is cleared by the wait that sees it set.
    TVaEventWaitResult WaitFor(uint32_t Timeout);
    void SetEvent();
    void ResetEvent();
    // Signalled now (no wait; an auto-reset event stays set).
    bool IsSet() const;
    bool ManualReset() const { return FManualReset; }

private:
    friend int VaWaitForFirst(std::initializer_list<TVaEvent*> Events, uint32_t Timeout);
    bool TryConsume();  // auto-reset: takes the signal; false if another waiter took it
    bool FManualReset;
};

// The kind the component creates: manual-reset, initially clear, unnamed.
class TVaWaitEvent : public TVaEvent {
public:
    TVaWaitEvent() : TVaEvent(nullptr, true, false, "") {}
};

// Waits up to Timeout for the first of Events (at most 8) and returns the
// lowest index among those signalled; -1 on time-out, -2 if the wait failed.
int VaWaitForFirst(std::initializer_list<TVaEvent*> Events, uint32_t Timeout);

class TVaCriticalSection {
public:
    void Acquire() { FMutex.lock(); }
    void Release() { FMutex.unlock(); }
    void Enter() { Acquire(); }
    void Leave() { Release(); }
    // For std::lock_guard and friends.
    void lock() { Acquire(); }
    void unlock() { Release(); }
    bool try_lock() { return FMutex.try_lock(); }

private:
    std::recursive_mutex FMutex;
};

}  // namespace pelk
