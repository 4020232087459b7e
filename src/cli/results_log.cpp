#include "cli/results_log.h"

#include <cstdio>
#include <ctime>

namespace pelk {

namespace {

// A CSV field: as it is, or quoted with its quotes doubled when it holds a
// comma, a quote or a line break.
void AppendField(std::string& line, const std::string& field) {
    if (!line.empty()) line += ',';
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        line += field;
        return;
    }
    line += '"';
    for (char c : field) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

std::string ResultsLogHeader() {
    return "time,port,device,chip,file,crc,checksum,bytes,steps,result,duration_ms,exit_status";
}

std::string FormatResultsLogLine(const ResultsLogRecord& record) {
    // The time comes first and never needs quotes.
    std::string line = Iso8601WithOffset(record.When);
    AppendField(line, record.Port);
    AppendField(line, record.Device);
    AppendField(line, record.Chip);
    AppendField(line, record.File);
    AppendField(line, Hex4(record.Crc));
    AppendField(line, Hex4(record.Checksum));
    AppendField(line, std::to_string(record.Bytes));
    AppendField(line, record.Steps);
    AppendField(line, record.Result);
    AppendField(line, std::to_string(record.DurationMs));
    AppendField(line, std::to_string(record.ExitStatus));
    return line;
}

std::string Iso8601WithOffset(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto seconds = floor<std::chrono::seconds>(ms);
    // Only the offset comes from the C runtime; the calendar fields are
    // worked out here, so an instant the runtime cannot convert (Windows
    // has nothing before 1970) is still shown, in UTC.
    long offset = 0;
    if (!UtcOffset(static_cast<std::time_t>(seconds.time_since_epoch().count()), offset)) offset = 0;
    // ISO 8601 has offsets in whole minutes; the old local mean times of
    // some zones had seconds too. The fields shown go with the offset shown.
    offset = offset / 60 * 60;
    const auto shifted = seconds + std::chrono::seconds(offset);
    const auto day = floor<days>(shifted);
    const year_month_day date(day);
    const hh_mm_ss<std::chrono::seconds> time(shifted - day);
    const char sign = offset < 0 ? '-' : '+';
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02ld:%02ld", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>((ms - seconds).count()), sign,
                  minutes / 60, minutes % 60);
    return text;
}

bool StartsWithResultsLogHeader(const std::string& start) {
    const std::string header = ResultsLogHeader();
    return start.rfind(header + "\n", 0) == 0 || start == header + "\r\n";
}

std::string LineWriteOutcome(size_t done, size_t size, int pieces, const std::string& failure) {
    if (!failure.empty()) {
        return done > 0 ? "the line was written only in part (" + std::to_string(done) + " of " +
                              std::to_string(size) + " bytes): " + failure
                        : failure;
    }
    if (pieces > 1) {
        return "the line went out in " + std::to_string(pieces) +
               " pieces (short writes); it may be mixed with lines of other programs";
    }
    return "";
}

ResultsLog::~ResultsLog() { Close(); }

}  // namespace pelk
