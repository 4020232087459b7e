#pragma once
// A stand-in for the modem lines of a port (pseudo-terminals have none): it
// notes every line change, with the time its clock showed, and can be told to
// refuse.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/line_sequence.h"

namespace pelk::test {

class RecordingLines : public ModemLines {
public:
    struct Change {
        std::string Step;  // "dtr", "-dtr", "rts", "-rts"
        int64_t At;
        bool operator==(const Change&) const = default;
    };
    std::vector<Change> Changes;
    // The time noted with each change.
    std::function<int64_t()> Clock = [] { return int64_t(0); };
    // Called at each change (to look at the rest of the system then).
    std::function<void(const std::string& step)> OnChange;
    // Non-empty: every call raises with this text.
    std::string Refusal;
    // Raise at the n-th line change (1-based); 0: never.
    size_t FailAt = 0;

    void CheckModemLines() override {
        if (!Refusal.empty()) throw std::runtime_error(Refusal);
    }
    void SetDTR(bool State) override { Note(State ? "dtr" : "-dtr"); }
    void SetRTS(bool State) override { Note(State ? "rts" : "-rts"); }

private:
    void Note(const std::string& step) {
        CheckModemLines();
        if (FailAt != 0 && Changes.size() + 1 == FailAt) throw std::runtime_error("line " + step + " failed");
        Changes.push_back({step, Clock()});
        if (OnChange) OnChange(step);
    }
};

}  // namespace pelk::test
