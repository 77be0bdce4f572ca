#include "reader_scan.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quorvane::analysis::scan {

bool Lines::next(std::string_view& line) {
    if (done_) return false;
    const char* b = rest_.data();
    const size_t n = rest_.size();
    const void* nl = n ? std::memchr(b, '\n', n) : nullptr;
    size_t i = nl ? static_cast<size_t>(static_cast<const char*>(nl) - b) : n;
    // A lone carriage return ends a line too (progress output).
    if (const void* cr = i ? std::memchr(b, '\r', i) : nullptr) {
        size_t at = static_cast<size_t>(static_cast<const char*>(cr) - b);
        if (at + 1 < i) i = at;
    }
    line = rest_.substr(0, i);
    if (i == n) {
        done_ = true;
        rest_ = {};
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return !line.empty();
    }
    size_t skip = (rest_[i] == '\r' && i + 1 < n && rest_[i + 1] == '\n') ? 2 : 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    rest_.remove_prefix(i + skip);
    if (rest_.empty()) done_ = true;
    return true;
}

namespace {

// ASCII blanks as a table: the tokeniser's inner loop is one load per byte.
struct BlankTable {
    bool blank[256] = {};
    constexpr BlankTable() {
        for (unsigned char c : {' ', '\t', '\v', '\f', '\r'}) blank[c] = true;
    }
};
constexpr BlankTable kBlanks;

}  // namespace

bool is_blank(char c) { return kBlanks.blank[static_cast<unsigned char>(c)]; }

std::string_view trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && is_blank(text[b])) ++b;
    while (e > b && is_blank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

void split(std::string_view text, std::vector<std::string_view>& out) {
    out.clear();
    const char* p = text.data();
    const char* const e = p + text.size();
    while (p != e) {
        while (p != e && is_blank(*p)) ++p;
        const char* b = p;
        while (p != e && !is_blank(*p)) ++p;
        if (p != b) out.emplace_back(b, static_cast<size_t>(p - b));
    }
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t digits_at(std::string_view s, size_t i) {
    size_t b = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    return i - b;
}

// Open MPI: "[1,0]<stdout>:" (and Open MPI 5's "[job,rank]<stdout>: ").
bool mpi_tag(std::string_view s, Stripped& out, size_t& used) {
    if (s.empty() || s[0] != '[') return false;
    size_t i = 1, d = digits_at(s, i);
    if (!d) return false;
    i += d;
    if (i >= s.size() || s[i] != ',') return false;
    ++i;
    d = digits_at(s, i);
    if (!d) return false;
    i += d;
    if (i >= s.size() || s[i] != ']') return false;
    std::string_view source = s.substr(1, i - 1);
    ++i;
    std::string_view rest = s.substr(i);
    bool err;
    if (rest.starts_with("<stdout>:")) err = false;
    else if (rest.starts_with("<stderr>:")) err = true;
    else return false;
    i += 9;
    if (i < s.size() && s[i] == ' ') ++i;
    out.source = source;
    out.is_stderr = out.is_stderr || err;
    used = i;
    return true;
}

// srun --label: "0: " (right-aligned for wide task counts); MPICH: "[0] ".
bool rank_label(std::string_view s, Stripped& out, size_t& used) {
    size_t i = 0;
    if (!s.empty() && s[0] == '[') {
        size_t d = digits_at(s, 1);
        if (!d || 1 + d + 1 >= s.size() || s[1 + d] != ']' || s[2 + d] != ' ') return false;
        out.source = s.substr(1, d);
        used = d + 3;
        return true;
    }
    while (i < s.size() && s[i] == ' ') ++i;
    size_t d = digits_at(s, i);
    if (!d || i + d + 1 >= s.size() || s[i + d] != ':' || s[i + d + 1] != ' ') return false;
    out.source = s.substr(i, d);
    used = i + d + 2;
    return true;
}

// pdsh / clush: "host1: ...". Only taken when what follows looks like the
// benchmark's own text, so that "Warning: ..." or "rccl-tests: Version" stay.
bool host_prefix(std::string_view s, Stripped& out, size_t& used) {
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z'))) return false;
    size_t i = 0;
    while (i < s.size() && (is_digit(s[i]) || (s[i] >= 'a' && s[i] <= 'z') || (s[i] >= 'A' && s[i] <= 'Z') ||
                            s[i] == '-' || s[i] == '.' || s[i] == '_'))
        ++i;
    if (i + 1 >= s.size() || s[i] != ':' || s[i + 1] != ' ') return false;
    size_t j = i + 2;
    while (j < s.size() && s[j] == ' ') ++j;
    if (j >= s.size() || !(s[j] == '#' || is_digit(s[j]))) return false;
    out.source = s.substr(0, i);
    used = i + 2;
    return true;
}

// kubectl logs --timestamps: "2025-01-31T12:00:00.123456789Z ".
bool time_stamp(std::string_view s, size_t& used) {
    if (s.size() < 21 || digits_at(s, 0) != 4 || s[4] != '-' || s[10] != 'T') return false;
    size_t i = 11;
    while (i < s.size() && (is_digit(s[i]) || s[i] == ':' || s[i] == '.')) ++i;
    if (i < s.size() && s[i] == 'Z') ++i;
    else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
        while (i < s.size() && (is_digit(s[i]) || s[i] == ':')) ++i;
    } else {
        return false;
    }
    if (i >= s.size() || s[i] != ' ') return false;
    used = i + 1;
    return true;
}

}  // namespace

Stripped strip_prefixes(std::string_view line) {
    Stripped out;
    out.body = line;
    for (int round = 0; round < 4; ++round) {
        std::string_view s = out.body;
        size_t used = 0;
        Prefix kind;
        if (mpi_tag(s, out, used)) kind = Prefix::mpi_tag;
        else if (rank_label(s, out, used)) kind = Prefix::rank_label;
        else if (time_stamp(s, used)) kind = Prefix::timestamp;
        else if (host_prefix(s, out, used)) kind = Prefix::host;
        else break;
        if (out.prefix == Prefix::none || kind != Prefix::timestamp) out.prefix = kind;
        out.body = s.substr(used);
    }
    return out;
}

namespace {

// First code point of each run of ten decimal digits (Unicode category Nd).
constexpr std::array<uint32_t, 66> kDigitZeros = {
    0x30,    0x660,   0x6f0,   0x7c0,   0x966,   0x9e6,   0xa66,   0xae6,   0xb66,   0xbe6,
    0xc66,   0xce6,   0xd66,   0xde6,   0xe50,   0xed0,   0xf20,   0x1040,  0x1090,  0x17e0,
    0x1810,  0x1946,  0x19d0,  0x1a80,  0x1a90,  0x1b50,  0x1bb0,  0x1c40,  0x1c50,  0xa620,
    0xa8d0,  0xa900,  0xa9d0,  0xa9f0,  0xaa50,  0xabf0,  0xff10,  0x104a0, 0x10d30, 0x11066,
    0x110f0, 0x11136, 0x111d0, 0x112f0, 0x11450, 0x114d0, 0x11650, 0x116c0, 0x11730, 0x118e0,
    0x11950, 0x11c50, 0x11d50, 0x11da0, 0x16a60, 0x16ac0, 0x16b50, 0x1d7ce, 0x1d7d8, 0x1d7e2,
    0x1d7ec, 0x1d7f6, 0x1e140, 0x1e2f0, 0x1e950, 0x1fbf0};

bool is_unicode_digit(uint32_t cp) {
    for (uint32_t z : kDigitZeros)
        if (cp >= z && cp < z + 10) return true;
    return false;
}

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 when malformed.
size_t decode(std::string_view s, size_t i, uint32_t& cp) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (!len || i + len > s.size()) return 0;
    cp = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
    for (size_t k = 1; k < len; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c >> 6) != 2) return 0;
        cp = (cp << 6) | (c & 0x3f);
    }
    return len;
}

}  // namespace

bool has_non_ascii(std::string_view token) {
    for (char c : token)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

bool digit_like(std::string_view token) {
    size_t i = (!token.empty() && token[0] == '-') ? 1 : 0;
    if (i >= token.size()) return false;
    while (i < token.size()) {
        if (token[i] >= '0' && token[i] <= '9') {
            ++i;
            continue;
        }
        uint32_t cp = 0;
        size_t len = decode(token, i, cp);
        if (!len || !is_unicode_digit(cp)) return false;
        i += len;
    }
    return true;
}

namespace {

// Plain decimals ("-12.345") with at most 15 significant digits: the integer
// they spell divided by a power of ten that is exact, so IEEE division rounds
// it correctly, as strtod would.
bool plain_decimal(std::string_view t, double& out) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* p = t.data();
    const char* const e = p + t.size();
    bool negative = p != e && *p == '-';
    if (negative) ++p;
    if (p == e) return false;
    uint64_t mantissa = 0;
    int digits = 0, frac = -1;
    for (; p != e; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
            if (++digits > 15) return false;
            if (frac >= 0) ++frac;
        } else if (c == '.' && frac < 0 && digits > 0) {
            frac = 0;
        } else {
            return false;
        }
    }
    if (frac == 0) return false;  // "12." is not how printf writes
    double v = static_cast<double>(mantissa);
    if (frac > 0) v /= kPow10[frac];
    out = negative ? -v : v;
    return true;
}

}  // namespace

// The careful reading, for what the fast path left: only the forms printf
// writes (no hexadecimal floats, no bare points), and why a token is no number.
static Real classify_real(std::string_view token) {
    Real r;
    if (has_non_ascii(token)) {
        r.status = Num::nonascii;
        return r;
    }
    std::string_view t = token;
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty()) return r;
    size_t i = (t[0] == '-') ? 1 : 0;
    size_t int_digits = digits_at(t, i);
    i += int_digits;
    size_t frac_digits = 0;
    if (i < t.size() && t[i] == '.') frac_digits = digits_at(t, ++i), i += frac_digits;
    if (int_digits + frac_digits == 0) {
        std::string_view word = t.substr(t[0] == '-' ? 1 : 0);
        for (std::string_view w : {"inf", "nan", "INF", "NAN", "infinity", "Infinity", "NaN", "-nan"})
            if (word == w) r.status = Num::nonfinite;
        return r;
    }
    if (!int_digits) return r;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        size_t d = digits_at(t, i);
        if (!d) return r;
        i += d;
        r.scientific = true;
    }
    if (i != t.size()) return r;
    auto res = std::from_chars(t.data(), t.data() + t.size(), r.value);
    if (res.ec == std::errc::result_out_of_range) {
        // Beyond a double: overflow is infinity, underflow a harmless zero.
        std::string copy(t);
        r.value = std::strtod(copy.c_str(), nullptr);
    } else if (res.ec != std::errc() || res.ptr != t.data() + t.size()) {
        return r;
    }
    r.status = std::isfinite(r.value) ? Num::ok : Num::nonfinite;
    if (r.status != Num::ok) r.value = 0;
    return r;
}

Real parse_real(std::string_view token) {
    Real r;
    if (plain_decimal(token, r.value)) {
        r.status = Num::ok;
        return r;
    }
    r.value = 0;
    return classify_real(token);
}

Integer parse_integer(std::string_view token) {
    Integer out;
    const char* p = token.data();
    const char* const e = p + token.size();
    bool negative = p != e && *p == '-';
    if (negative) ++p;
    if (p != e && e - p <= 18) {
        int64_t v = 0;
        const char* q = p;
        while (q != e && *q >= '0' && *q <= '9') v = v * 10 + (*q++ - '0');
        if (q == e) {
            out.status = Num::ok;
            out.value = negative ? -v : v;
            return out;
        }
    }
    if (has_non_ascii(token)) {
        out.status = Num::nonascii;
        return out;
    }
    size_t i = negative ? 1 : 0;
    if (i < token.size() && digits_at(token, i) == token.size() - i) {
        auto res = std::from_chars(token.data(), token.data() + token.size(), out.value);
        out.status = res.ec == std::errc() ? Num::ok : Num::nonfinite;
        return out;
    }
    Real r = parse_real(token);
    out.status = r.status;
    if (r.status != Num::ok) return out;
    if (r.value != std::trunc(r.value)) {
        out.status = Num::bad;
    } else if (std::fabs(r.value) >= 9.2e18) {
        out.status = Num::nonfinite;
    } else {
        out.value = static_cast<int64_t>(r.value);
    }
    return out;
}

std::string_view label_from_program(std::string_view program) {
    static constexpr std::array<std::string_view, 12> kKnown = {
        "all_reduce", "all_gather", "reduce_scatter", "broadcast", "reduce",   "alltoall",
        "alltoallv",  "sendrecv",   "scatter",        "gather",    "hypercube", "all_reduce_group"};
    size_t slash = program.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? program : program.substr(slash + 1);
    std::string base;
    for (size_t i = 0; i < name.size();) {
        if (name.substr(i).starts_with("_perf")) {
            i += 5;
        } else {
            base.push_back(name[i]);
            ++i;
        }
    }
    for (std::string_view suffix : {std::string_view(".py"), std::string_view("_mpi")})
        if (std::string_view(base).ends_with(suffix)) base.resize(base.size() - suffix.size());
    for (std::string_view known : kKnown)
        if (base == known) return known;
    return {};
}

}  // namespace quorvane::analysis::scan
