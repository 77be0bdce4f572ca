// Scanning nccl-tests table text in plain C++ (ASCII text only). Line
// boundaries, white space and number syntax follow Python's str.splitlines,
// str.strip / str.split and int() / float() for ASCII input exactly; whatever
// this scanner cannot decide with plain 64-bit values it hands back as
// Verdict::Defer, so the caller can read that line the general way.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace qv::table {

struct Row {
    std::int64_t size_bytes = 0;
    double latency_us = 0;
    double algbw_gbps = 0;
    double busbw_gbps = 0;
    std::int64_t wrong = 0;
};

enum class Verdict { Skip, Row, Defer };

// Python's str.isspace() for ASCII characters.
constexpr bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

// Python's line boundaries for ASCII characters ("\r\n" counts as one).
constexpr bool is_line_break(char c) {
    return c == '\n' || c == '\r' || c == '\v' || c == '\f' || (c >= '\x1c' && c <= '\x1e');
}

// Calls f(line) for every line of `text`, without terminators, as
// str.splitlines() would give them.
template <typename F>
void for_each_line(std::string_view text, F&& f) {
    std::size_t start = 0;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        char c = text[i];
        if (is_line_break(c)) {
            f(text.substr(start, i - start));
            i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n) f(text.substr(start));
}

// A full match of -?\d+(?:\.\d+)? over ASCII text.
constexpr bool is_numeric(std::string_view tok) {
    std::size_t i = 0;
    const std::size_t n = tok.size();
    if (i < n && tok[i] == '-') ++i;
    std::size_t digits = i;
    while (i < n && tok[i] >= '0' && tok[i] <= '9') ++i;
    if (i == digits) return false;
    if (i == n) return true;
    if (tok[i] != '.') return false;
    ++i;
    std::size_t fraction = i;
    while (i < n && tok[i] >= '0' && tok[i] <= '9') ++i;
    return i > fraction && i == n;
}

// float(tok) for a numeric token; false when the value is out of the range
// that from_chars reports exactly (Python would give inf or a subnormal).
inline bool to_double(std::string_view tok, double& out) {
    auto [end, ec] = std::from_chars(tok.data(), tok.data() + tok.size(), out);
    return ec == std::errc() && end == tok.data() + tok.size();
}

inline bool to_int64(std::string_view tok, std::int64_t& out) {
    auto [end, ec] = std::from_chars(tok.data(), tok.data() + tok.size(), out);
    return ec == std::errc() && end == tok.data() + tok.size();
}

// Reads one line of table text.
inline Verdict scan_line(std::string_view line, Row& row) {
    std::size_t b = 0, e = line.size();
    while (b < e && is_space(line[b])) ++b;
    while (e > b && is_space(line[e - 1])) --e;
    if (b == e || line[b] == '#') return Verdict::Skip;
    line = line.substr(b, e - b);

    constexpr std::size_t keep = 8;  // numeric tokens past offset + 3 are never read
    std::string_view numerics[keep];
    std::size_t count = 0;
    std::size_t i = 0;
    bool first = true;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) ++i;
        if (i == line.size()) break;
        std::size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        std::string_view tok = line.substr(start, i - start);
        bool numeric = is_numeric(tok);
        if (first) {
            if (!numeric || tok.find('.') != std::string_view::npos) return Verdict::Skip;
            // A value past 64 bits is left to the general path.
            if (!to_int64(tok, row.size_bytes)) return Verdict::Defer;
            first = false;
        }
        if (numeric) {
            if (count < keep) numerics[count] = tok;
            ++count;
        }
    }
    if (count < 5) return Verdict::Skip;
    const std::size_t offset = (count % 2 == 1) ? 3 : 2;
    if (count <= offset + 2) return Verdict::Skip;
    if (!to_double(numerics[offset], row.latency_us) || !to_double(numerics[offset + 1], row.algbw_gbps) ||
        !to_double(numerics[offset + 2], row.busbw_gbps)) {
        return Verdict::Defer;
    }
    row.wrong = 0;
    if (count > offset + 3) {
        double w = 0;
        if (!to_double(numerics[offset + 3], w)) return Verdict::Defer;
        double t = std::trunc(w);
        if (!(t > -9.2e18 && t < 9.2e18)) return Verdict::Defer;
        row.wrong = static_cast<std::int64_t>(t);
    }
    return Verdict::Row;
}

}  // namespace qv::table
