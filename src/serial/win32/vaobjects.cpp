// The synchronisation wrappers on Windows: an event is a Win32 event object
// (manual- or auto-reset, as asked), its handle kept in the int that the
// class holds (kernel handles fit in 32 bits), and a wait for the first of
// several is WaitForMultipleObjects, which reports the lowest index among
// the signalled ones.
#include "serial/vaobjects.h"

#include <system_error>

#include "serial/vaconst.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk {

namespace {
HANDLE H(int Handle) { return LongToHandle(Handle); }
}  // namespace

TVaHandleObject::~TVaHandleObject() {
    if (FHandle != -1 && FHandle != 0) CloseHandle(H(FHandle));
}

TVaEvent::TVaEvent(const void* /*EventAttributes*/, bool ManualReset, bool InitialState, const std::string& /*Name*/)
    : FManualReset(ManualReset) {
    const HANDLE h = CreateEventW(nullptr, ManualReset, InitialState, nullptr);
    if (!h) throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
    FHandle = HandleToLong(h);
}

void TVaEvent::SetEvent() { ::SetEvent(H(FHandle)); }

void TVaEvent::ResetEvent() { ::ResetEvent(H(FHandle)); }

bool TVaEvent::TryConsume() { return WaitForSingleObject(H(FHandle), 0) == WAIT_OBJECT_0; }

bool TVaEvent::IsSet() const {
    if (WaitForSingleObject(H(FHandle), 0) != WAIT_OBJECT_0) return false;
    if (!FManualReset) ::SetEvent(H(FHandle));  // the look took the signal: give it back
    return true;
}

TVaEventWaitResult TVaEvent::WaitFor(uint32_t Timeout) {
    switch (WaitForSingleObject(H(FHandle), Timeout)) {
        case WAIT_OBJECT_0: return wrSignaled;
        case WAIT_TIMEOUT: return wrTimeout;
        case WAIT_ABANDONED: return wrAbandoned;
        default: FLastError = static_cast<int>(GetLastError()); return wrError;
    }
}

int VaWaitForFirst(std::initializer_list<TVaEvent*> Events, uint32_t Timeout) {
    HANDLE handles[8];
    const size_t n = Events.size();
    if (n == 0 || n > 8) return -2;
    size_t i = 0;
    for (TVaEvent* e : Events) handles[i++] = H(e->Handle());
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(n), handles, FALSE, Timeout);
    if (r == WAIT_TIMEOUT) return -1;
    if (r < WAIT_OBJECT_0 + n) return static_cast<int>(r - WAIT_OBJECT_0);
    const int error = static_cast<int>(GetLastError());
    for (TVaEvent* e : Events) e->FLastError = error;
    return -2;
}

}  // namespace pelk
