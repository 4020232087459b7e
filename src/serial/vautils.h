#pragma once
// Small utilities of the serial component's module: a millisecond timer,
// bit tests, caret notation, a port probe and a few file-name helpers.
// They are part of the component's documented interface, for the programs
// that use it. The component itself uses only the millisecond timer
// (GetTickCount, InitTimer, TimerExpired) for its read and write time-outs.
#include <cstdint>
#include <string>

namespace pelk {

// A millisecond timer: start tick and timeout.
struct TVaTimeEvent {
    uint32_t StartTick = 0;
    int32_t Timeout = 0;
};

int32_t MinInteger(int32_t A, int32_t B);
// Ch, or the blank when Ch is 0.
char CN(char Ch);
// Milliseconds since system start, modulo 2^32.
uint32_t GetTickCount();
void InitTimer(TVaTimeEvent& T, int32_t Timeout);
// True when the milliseconds elapsed since T's start (counted modulo 2^32,
// so the counter's wrap is harmless) exceed its timeout.
bool TimerExpired(const TVaTimeEvent& T);
// The same test at a given tick.
bool TimerExpiredAt(const TVaTimeEvent& T, uint32_t Now);
// Waits Milliseconds. It sleeps in steps of at most one millisecond rather
// than spinning; with ProcessMessages it lets the main thread handle its
// pending messages on each step (see framework/main_thread.h).
void SysDelay(int32_t Milliseconds, bool ProcessMessages);
// Probes the device "COM<PortNum>" (resolved as the component resolves it):
// 1 if it can be opened (it is closed again at once), 2 if no such device
// exists, 0 for any other failure, such as a port in use.
int GetPortState(int PortNum);
bool BitOn(uint32_t Value, uint32_t Mask);
bool BitOff(uint32_t Value, uint32_t Mask);
// Caret notation to control characters: "^A" gives the character 1, "^1"
// stays "^1", and two carets in a row drop the rest of the string.
std::string StrCtrl(const std::string& S);
// Clears the reference, then frees the object it pointed to, if any.
template <class T>
void FreeObject(T*& Obj) {
    T* object = Obj;
    Obj = nullptr;
    delete object;
}
// S with the path separator '/' appended when S is not empty and does not
// end with one.
std::string AddPathSlash(const std::string& S);
// Size of the named file (0 for a directory), or -1 if there is none.
int64_t GetFileSize(const std::string& Name);
// Name if no such file exists, else "<dir>/<stem>-<n><ext>" for the first n
// from 1 upwards that names no existing file.
std::string CreateUniqueFileName(const std::string& Name);

}  // namespace pelk
