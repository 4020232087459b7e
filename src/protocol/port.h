#pragma once
// What the operation engine and the reply receiver need of a serial port.
// The serial component offers these operations under the same names;
// PortOf<T> lets any such object stand behind this interface, so the core
// does not depend on the serial layer and tests can use a recording fake.
#include <string>

namespace pelk {

class Port {
public:
    virtual ~Port() = default;
    // Received bytes not yet taken (0 when the port is closed).
    virtual int ReadBufUsed() = 0;
    // Takes up to Count waiting bytes; returns how many were taken.
    virtual int ReadBuf(void* Data, int Count) = 0;
    // Takes every waiting byte.
    virtual std::string ReadText() = 0;
    // Queues Count bytes for sending, in call order; returns the count accepted.
    virtual int WriteBuf(const void* Data, int Count) = 0;
};

template <class Comm>
class PortOf final : public Port {
public:
    explicit PortOf(Comm& comm) : C(comm) {}
    int ReadBufUsed() override { return C.ReadBufUsed(); }
    int ReadBuf(void* Data, int Count) override { return C.ReadBuf(Data, Count); }
    std::string ReadText() override { return C.ReadText(); }
    int WriteBuf(const void* Data, int Count) override { return C.WriteBuf(Data, Count); }

private:
    Comm& C;
};

}  // namespace pelk
