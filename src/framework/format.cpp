#include "framework/format.h"

#include <cstdio>
#include <vector>

namespace pelk {

namespace {

bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string Format(const std::string& Fmt, std::initializer_list<FormatArg> Args) {
    std::string out;
    const std::vector<FormatArg> args(Args);
    size_t next = 0;
    size_t i = 0;
    while (i < Fmt.size()) {
        const char c = Fmt[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < Fmt.size() && Fmt[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        // Parse "%[flags][width][.precision][h|l...]conv".
        size_t j = i + 1;
        std::string directive = "%";
        while (j < Fmt.size() && IsFlag(Fmt[j])) directive += Fmt[j++];
        while (j < Fmt.size() && IsDigit(Fmt[j])) directive += Fmt[j++];
        if (j < Fmt.size() && Fmt[j] == '.') {
            directive += Fmt[j++];
            while (j < Fmt.size() && IsDigit(Fmt[j])) directive += Fmt[j++];
        }
        while (j < Fmt.size() && (Fmt[j] == 'h' || Fmt[j] == 'l')) ++j;
        if (j >= Fmt.size()) {
            out.append(Fmt, i, std::string::npos);
            break;
        }
        const char conv = Fmt[j];
        const bool integer = conv == 'd' || conv == 'i' || conv == 'u' || conv == 'x' || conv == 'X';
        const bool text = conv == 's';
        const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
        char buf[128];
        if (integer && arg && std::holds_alternative<long long>(*arg)) {
            // The directive is built here from checked characters only.
            const std::string full = directive + "ll" + conv;
            const long long v = std::get<long long>(*arg);
            if (conv == 'd' || conv == 'i') std::snprintf(buf, sizeof buf, full.c_str(), v);
            else std::snprintf(buf, sizeof buf, full.c_str(), static_cast<unsigned long long>(v));
            out += buf;
            ++next;
        } else if (text && arg && std::holds_alternative<std::string>(*arg)) {
            const std::string& s = std::get<std::string>(*arg);
            if (directive == "%") {
                out += s;
            } else {
                const std::string full = directive + 's';
                const int n = std::snprintf(nullptr, 0, full.c_str(), s.c_str());
                std::string piece(static_cast<size_t>(n > 0 ? n : 0), '\0');
                std::snprintf(piece.data(), piece.size() + 1, full.c_str(), s.c_str());
                out += piece;
            }
            ++next;
        } else {
            out.append(Fmt, i, j - i + 1);
        }
        i = j + 1;
    }
    return out;
}

}  // namespace pelk
