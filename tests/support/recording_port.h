#pragma once
// In-process stand-ins for the serial port and the display, for engine tests
// and benchmarks: a port that records every write with the tick at which it
// happened and can pass the bytes to a simulated loader, whose replies come
// back as received bytes.
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "image/memory_image.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"
#include "sim/target_loader.h"

namespace pelk::test {

struct WriteRecord {
    uint64_t Tick;
    std::vector<uint8_t> Bytes;
};

class RecordingPort : public Port {
public:
    std::deque<uint8_t> Input;
    std::vector<WriteRecord> Writes;
    uint64_t Tick = 0;
    bool Record = true;
    std::vector<std::string>* Log = nullptr;  // shared with the view to check ordering
    TargetLoader* Target = nullptr;
    // Sees (and may change or drop) each batch of reply bytes before it arrives.
    std::function<void(std::vector<uint8_t>&)> ReplyFilter;

    void Feed(const std::vector<uint8_t>& bytes) { Input.insert(Input.end(), bytes.begin(), bytes.end()); }

    int ReadBufUsed() override { return static_cast<int>(Input.size()); }
    int ReadBuf(void* Data, int Count) override {
        int n = 0;
        auto* out = static_cast<uint8_t*>(Data);
        while (n < Count && !Input.empty()) {
            out[n++] = Input.front();
            Input.pop_front();
        }
        return n;
    }
    std::string ReadText() override {
        std::string s(Input.begin(), Input.end());
        Input.clear();
        return s;
    }
    int WriteBuf(const void* Data, int Count) override {
        const auto* p = static_cast<const uint8_t*>(Data);
        if (Record) Writes.push_back({Tick, std::vector<uint8_t>(p, p + Count)});
        if (Log) Log->push_back("write " + std::to_string(Count));
        if (Target) {
            Replies.clear();
            Target->Receive(p, static_cast<size_t>(Count), Replies);
            if (ReplyFilter && !Replies.empty()) ReplyFilter(Replies);
            Feed(Replies);
        }
        return Count;
    }

    // All bytes written, in order.
    std::vector<uint8_t> Stream() const {
        std::vector<uint8_t> all;
        for (const auto& w : Writes) all.insert(all.end(), w.Bytes.begin(), w.Bytes.end());
        return all;
    }

private:
    std::vector<uint8_t> Replies;
};

class RecordingView : public EngineView {
public:
    std::vector<std::string> Messages;
    std::vector<int> ProgressHistory;
    int Progress = 0;
    std::vector<std::string>* Log = nullptr;
    void ShowMessage(const std::string& text) override {
        Messages.push_back(text);
        if (Log) Log->push_back(text);
    }
    void SetProgress(int position) override {
        Progress = position;
        ProgressHistory.push_back(position);
    }
    std::string Last() const { return Messages.empty() ? std::string() : Messages.back(); }
};

// Notes what the engine says about needing ticks.
class RecordingTicks : public TickSource {
public:
    bool Needed = false;
    size_t Calls = 0;
    void TicksNeeded(bool needed) override {
        Needed = needed;
        ++Calls;
    }
};

// An engine wired to a recording port, with a tick counter and a delivery
// loop that plays the part of the serial component's received-bytes event.
struct EngineRig {
    MemoryImage Image;
    RecordingPort Link;
    RecordingView View;
    RecordingTicks Ticks;
    OperationEngine Engine{Image, Link, View};

    // The engine's clock runs with the ticks: 10 ms each.
    EngineRig() {
        Engine.SetTickSource(&Ticks);
        Engine.SetClock([this] { return static_cast<int64_t>(Link.Tick) * TickMs; });
    }

    // Raises the received-bytes event until no bytes wait (bounded, so a
    // target that answers every frame with a resend request cannot hang a test).
    void Deliver(int maxEvents = 100000) {
        while (!Link.Input.empty() && maxEvents-- > 0) Engine.ReceiveReplyBytes();
    }
    void Tick() {
        ++Link.Tick;
        Engine.TimerTimer();
        Deliver();
    }
    // Ticks until the operation has ended and nothing is pending; returns
    // the number of ticks taken.
    uint64_t RunToEnd(uint64_t maxTicks = 100000) {
        Deliver();
        const uint64_t start = Link.Tick;
        while ((Engine.Operation() != OpNone || Engine.StartDelay() != 0) && Link.Tick - start < maxTicks) Tick();
        return Link.Tick - start;
    }
};

}  // namespace pelk::test
