#include "protocol/line_sequence.h"

#include <exception>

namespace pelk {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The step as the user wrote it, for a message; a long one is cut short.
std::string Quoted(std::string_view step) {
    constexpr size_t shown = 24;
    std::string s(step.substr(0, shown));
    if (step.size() > shown) s += "...";
    return '"' + s + '"';
}

// "NNms", blanks allowed between the number and "ms". False if the step is
// not of that form; Ms may then be out of range (checked by the caller).
bool ParseWait(std::string_view step, uint64_t& Ms) {
    size_t i = 0;
    Ms = 0;
    while (i < step.size() && step[i] >= '0' && step[i] <= '9') {
        if (Ms <= LongestLineWaitMs) Ms = Ms * 10 + uint64_t(step[i] - '0');  // stays small: only the range matters
        ++i;
    }
    if (i == 0) return false;
    std::string_view unit = Trim(step.substr(i));
    return unit.size() == 2 && Lower(unit[0]) == 'm' && Lower(unit[1]) == 's';
}

}  // namespace

bool LineSequence::UsesLines() const {
    for (const LineStep& s : Steps)
        if (s.Action != LineAction::Wait) return true;
    return false;
}

std::string LineSequence::Text() const {
    std::string out;
    for (const LineStep& s : Steps) {
        if (!out.empty()) out += ',';
        switch (s.Action) {
            case LineAction::SetDtr: out += "dtr"; break;
            case LineAction::ClearDtr: out += "-dtr"; break;
            case LineAction::SetRts: out += "rts"; break;
            case LineAction::ClearRts: out += "-rts"; break;
            case LineAction::Wait: out += std::to_string(s.Ms) + "ms"; break;
        }
    }
    return out;
}

ParsedLineSequence ParseLineSequence(std::string_view Text) {
    ParsedLineSequence r;
    if (Trim(Text).empty()) {
        r.Error = "no steps; write a comma list such as dtr,rts,50ms,-dtr,200ms";
        return r;
    }
    size_t number = 0;
    for (;;) {
        const size_t comma = Text.find(',');
        const std::string_view step = Trim(Text.substr(0, comma));
        ++number;
        const std::string where = "step " + std::to_string(number);
        if (number > MostLineSteps) {
            r.Error = "more than " + std::to_string(MostLineSteps) + " steps";
            break;
        }
        if (step.empty()) {
            r.Error = where + " is empty";
            break;
        }
        std::string word;
        for (char c : step) word += Lower(c);
        uint64_t ms = 0;
        if (word == "dtr") r.Sequence.Steps.push_back({LineAction::SetDtr});
        else if (word == "-dtr") r.Sequence.Steps.push_back({LineAction::ClearDtr});
        else if (word == "rts") r.Sequence.Steps.push_back({LineAction::SetRts});
        else if (word == "-rts") r.Sequence.Steps.push_back({LineAction::ClearRts});
        else if (ParseWait(step, ms)) {
            if (ms < 1 || ms > LongestLineWaitMs) {
                r.Error = where + " " + Quoted(step) + ": a wait is 1 to " + std::to_string(LongestLineWaitMs) + " ms";
                break;
            }
            r.Sequence.Steps.push_back({LineAction::Wait, uint32_t(ms)});
        } else {
            r.Error = where + " " + Quoted(step) + " is not dtr, -dtr, rts, -rts or a wait such as 50ms";
            break;
        }
        if (comma == std::string_view::npos) break;
        Text.remove_prefix(comma + 1);
    }
    if (!r.Ok()) r.Sequence.Steps.clear();
    return r;
}

std::optional<LineSequenceRunner::Millis> LineSequenceRunner::Start(const LineSequence& Sequence, ModemLines& Lines,
                                                                    Millis Now) {
    Cancel();
    FSequence = Sequence;
    FLines = &Lines;
    FNext = 0;
    FDone = false;
    FError.clear();
    return Run(Now);
}

std::optional<LineSequenceRunner::Millis> LineSequenceRunner::Advance(Millis Now) {
    if (!Running()) return std::nullopt;
    if (Now < FDeadline) return FDeadline;
    return Run(Now);
}

void LineSequenceRunner::Cancel() { FLines = nullptr; }

std::optional<LineSequenceRunner::Millis> LineSequenceRunner::Run(Millis Now) {
    while (FNext < FSequence.Steps.size()) {
        const LineStep step = FSequence.Steps[FNext++];
        if (step.Action == LineAction::Wait) {
            // From now, not from the last deadline: a step that came late
            // still gets its whole wait after it.
            FDeadline = Now + Millis(step.Ms);
            return FDeadline;
        }
        try {
            switch (step.Action) {
                case LineAction::SetDtr: FLines->SetDTR(true); break;
                case LineAction::ClearDtr: FLines->SetDTR(false); break;
                case LineAction::SetRts: FLines->SetRTS(true); break;
                case LineAction::ClearRts: FLines->SetRTS(false); break;
                case LineAction::Wait: break;
            }
        } catch (const std::exception& e) {
            FError = e.what();
            if (FError.empty()) FError = "the line could not be set";
            FLines = nullptr;
            return std::nullopt;
        } catch (...) {
            FError = "the line could not be set";
            FLines = nullptr;
            return std::nullopt;
        }
    }
    FLines = nullptr;
    FDone = true;
    return std::nullopt;
}

}  // namespace pelk
