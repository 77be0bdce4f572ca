// Scanning nccl-tests table text in plain C++ (ASCII text only). Line
// boundaries, white space and number syntax follow Python's str.splitlines,
// str.strip / str.split and int() / float() for ASCII input exactly; whatever
// this scanner cannot decide with plain 64-bit values it hands back as
// Verdict::Defer, so the caller can read that line the general way.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Character classes of ASCII text: bit 0 is Python's str.isspace(), bit 1 a
// line boundary of str.splitlines() (every boundary is also white space).
inline constexpr std::array<unsigned char, 256> char_class = [] {
    std::array<unsigned char, 256> t{};
    for (int c : {' ', '\t', '\x1f'}) t[c] = 1;
    for (int c : {'\n', '\v', '\f', '\r', '\x1c', '\x1d', '\x1e'}) t[c] = 3;
    return t;
}();

constexpr bool is_space(char c) { return char_class[static_cast<unsigned char>(c)] & 1; }
constexpr bool is_line_break(char c) { return char_class[static_cast<unsigned char>(c)] & 2; }

// Index of the first byte below 0x20 in text[i, n), or n. Every ASCII line
// boundary is such a byte; table text has few others (tabs), so eight bytes
// are tested at a time.
inline std::size_t next_control(const char* text, std::size_t i, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101u;
        constexpr std::uint64_t highs = 0x8080808080808080u;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, text + i, 8);
            // High bit set in the lowest byte below 0x20 (ASCII bytes only;
            // bytes above a flagged one may be flagged falsely, never below).
            std::uint64_t below = (w - 0x20 * ones) & ~w & highs;
            if (below) return i + static_cast<std::size_t>(std::countr_zero(below) / 8);
        }
    }
    while (i < n && static_cast<unsigned char>(text[i]) >= 0x20) ++i;
    return i;
}

// Calls f(line) for every line of ASCII `text`, without terminators, as
// str.splitlines() would give them.
template <typename F>
void for_each_line(std::string_view text, F&& f) {
    const char* data = text.data();
    const std::size_t n = text.size();
    std::size_t start = 0;
    std::size_t i = 0;
    while ((i = next_control(data, i, n)) < n) {
        char c = data[i];
        if (!is_line_break(c)) {
            ++i;
            continue;
        }
        f(text.substr(start, i - start));
        i += (c == '\r' && i + 1 < n && data[i + 1] == '\n') ? 2 : 1;
        start = i;
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
    const char* p = line.data();
    const char* const end = p + line.size();
    while (p < end && is_space(*p)) ++p;
    if (p == end || *p == '#') return Verdict::Skip;

    constexpr std::size_t keep = 8;  // numeric tokens past offset + 3 are never read
    std::string_view numerics[keep];
    std::size_t count = 0;
    bool first = true;
    while (p < end) {
        const char* start = p;
        while (p < end && !is_space(*p)) ++p;
        std::string_view tok(start, static_cast<std::size_t>(p - start));
        while (p < end && is_space(*p)) ++p;
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
