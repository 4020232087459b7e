#include "serial/vautils.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "framework/main_thread.h"
#include "serial/serial_device.h"

namespace pelk {

int32_t MinInteger(int32_t A, int32_t B) { return A < B ? A : B; }

char CN(char Ch) { return Ch == 0 ? ' ' : Ch; }

uint32_t GetTickCount() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
}

void InitTimer(TVaTimeEvent& T, int32_t Timeout) {
    T.StartTick = GetTickCount();
    T.Timeout = Timeout;
}

bool TimerExpiredAt(const TVaTimeEvent& T, uint32_t Now) {
    const uint32_t elapsed = Now - T.StartTick;  // modulo 2^32
    return static_cast<int64_t>(elapsed) > static_cast<int64_t>(T.Timeout);
}

bool TimerExpired(const TVaTimeEvent& T) { return TimerExpiredAt(T, GetTickCount()); }

void SysDelay(int32_t Milliseconds, bool ProcessMessages) {
    TVaTimeEvent t;
    InitTimer(t, Milliseconds);
    while (!TimerExpired(t)) {
        if (ProcessMessages) pelk::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int GetPortState(int PortNum) {
    const std::string name = "COM" + std::to_string(PortNum);
    std::shared_ptr<SerialDevice> port = SerialDevice::Open(name);
    if (port) {
        port->Close();
        return 1;
    }
    // "No such device" is error 2 on both platforms (ENOENT, ERROR_FILE_NOT_FOUND).
    return device::LastPlatformError() == 2 ? 2 : 0;
}

bool BitOn(uint32_t Value, uint32_t Mask) { return (Value & Mask) > 0; }
bool BitOff(uint32_t Value, uint32_t Mask) { return (Value & Mask) == 0; }

std::string StrCtrl(const std::string& S) {
    std::string out;
    int carets = 0;
    for (const char ch : S) {
        if (ch == '^') {
            ++carets;
            continue;
        }
        if (carets == 0) {
            out += ch;
        } else if (carets == 1) {
            if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')) {
                const char upper = (ch >= 'a') ? static_cast<char>(ch - 'a' + 'A') : ch;
                out += static_cast<char>(upper - 64);
            } else {
                out += '^';
                out += ch;
            }
            carets = 0;
        }
        // Two carets or more: the character is dropped and the count stays.
    }
    return out;
}

std::string AddPathSlash(const std::string& S) {
    if (!S.empty() && S.back() != '/') return S + '/';
    return S;
}

int64_t GetFileSize(const std::string& Name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path = fs::absolute(Name, ec);
    if (ec) return -1;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) return -1;
    if (fs::is_directory(st)) return 0;
    const auto size = fs::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

std::string CreateUniqueFileName(const std::string& Name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(Name, ec)) return Name;
    const fs::path path(Name);
    for (unsigned n = 1;; ++n) {
        fs::path candidate = path.parent_path() / (path.stem().string() + "-" + std::to_string(n) + path.extension().string());
        if (!fs::exists(candidate, ec)) return candidate.string();
    }
}

}  // namespace pelk
