#pragma once
// Test helpers for the simulated target: a client that opens the slave side
// of its pseudo-terminal by path, as the serial component does, and talks the
// link protocol over it; command frames built with the project's frame
// functions; a temporary directory.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "protocol/rs232.h"
#include "support/temp_dir.h"

namespace pelk::test {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Long enough for a loaded sanitizer build; only a broken target ever waits it out.
constexpr std::chrono::milliseconds ReplyWait = 10s;

inline Bytes CommandFrame(uint8_t command, uint32_t address, uint8_t fill = 0xFF) {
    const TxFrameBytes f = MakeCommandFrame(command, address, nullptr, fill);
    return Bytes(f.begin(), f.end());
}

inline Bytes BlockFrame(uint8_t command, uint32_t address, const uint8_t* block) {
    const TxFrameBytes f = MakeCommandFrame(command, address, block);
    return Bytes(f.begin(), f.end());
}

inline Bytes WithPreamble(const Bytes& frame) {
    Bytes out;
    out.reserve(LinkPreamble.size() + frame.size());
    for (uint8_t b : LinkPreamble) out.push_back(b);
    for (uint8_t b : frame) out.push_back(b);
    return out;
}

class PtyClient {
public:
    // Opens the slave side and, like the serial component, puts it in raw mode
    // at 9600 bit/s; `leaveSettings` keeps whatever settings it has.
    explicit PtyClient(const std::string& path, bool leaveSettings = false) {
        Fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (Fd < 0 || leaveSettings) return;
        termios t{};
        tcgetattr(Fd, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(Fd, TCSANOW, &t);
    }
    ~PtyClient() { Close(); }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    bool IsOpen() const { return Fd >= 0; }
    int Descriptor() const { return Fd; }
    void Close() {
        if (Fd >= 0) close(Fd);
        Fd = -1;
    }

    bool Write(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(Fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p{Fd, POLLOUT, 0};
            if (poll(&p, 1, int(ReplyWait.count())) <= 0) return false;
        }
        return true;
    }

    // One byte, or nothing when none comes within `wait`.
    std::optional<uint8_t> ReadByte(std::chrono::milliseconds wait = ReplyWait) {
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, int(wait.count())) <= 0 || !(p.revents & POLLIN)) return std::nullopt;
        uint8_t b = 0;
        if (read(Fd, &b, 1) != 1) return std::nullopt;
        return b;
    }

    // Up to `count` bytes, stopping early when the line stays quiet for `wait`.
    Bytes Read(size_t count, std::chrono::milliseconds wait = ReplyWait) {
        Bytes out;
        while (out.size() < count) {
            const std::optional<uint8_t> b = ReadByte(wait);
            if (!b) break;
            out.push_back(*b);
        }
        return out;
    }

    // Runs received bytes through the tool's reply receiver until a reply is
    // complete. `Skipped` counts the bytes ahead of its sync byte.
    struct Reply {
        ReplyReceiver Receiver;
        size_t Skipped = 0;
        uint8_t Code() const { return Receiver.Code(); }
        bool ChecksumOk() const { return Receiver.CheckReplyCrc(); }
    };
    std::optional<Reply> ReadReply() {
        Reply r;
        for (;;) {
            const std::optional<uint8_t> b = ReadByte();
            if (!b) return std::nullopt;
            if (r.Receiver.RxState == ReplyReceiver::Idle && *b != ReplySync) ++r.Skipped;
            if (r.Receiver.TakeByte(*b)) return r;
        }
    }

    // True when a byte is waiting right now.
    bool HasInput() const {
        pollfd p{Fd, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

    // Sends a frame after the preamble and reads the reply.
    std::optional<Reply> Ask(const Bytes& frame) {
        if (!Write(WithPreamble(frame))) return std::nullopt;
        return ReadReply();
    }

    // Sends a frame (with the preamble) and returns the reply's code; 0 for no
    // reply, 0xFF00 | code for a reply whose checksum is wrong.
    int Exchange(const Bytes& frame, bool preamble = true) {
        if (!Write(preamble ? WithPreamble(frame) : frame)) return 0;
        const std::optional<Reply> r = ReadReply();
        if (!r) return 0;
        return r->ChecksumOk() ? r->Code() : 0xFF00 | r->Code();
    }

private:
    int Fd = -1;
};

inline Bytes ReadFileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::filesystem::path& p, const Bytes& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace pelk::test
