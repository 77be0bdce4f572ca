// The reader of nccl-tests' -J files. A small strict JSON parser (RFC 8259,
// plus the bare inf and nan that printf writes for non-finite doubles, which
// are then reported, never read as numbers), and the mapping of the document
// onto rows. The document's "env" list (the whole environment of the run, which
// can hold secrets) is checked for syntax and dropped unread.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

#include "reader.hpp"
#include "reader_scan.hpp"
#include "reader_table.hpp"

namespace quorvane::analysis {
namespace {

using detail::FindingSink;
using detail::kNoTable;
using detail::TableBuild;
using scan::Num;

struct JValue {
    enum class Kind : uint8_t { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    bool nonfinite = false;   // a bare inf or nan
    bool complete = false;    // read to its end (the text may stop inside it)
    std::string_view number;  // the number's text
    std::string text;         // a string, unescaped
    std::vector<JValue> items;
    std::vector<std::pair<std::string, JValue>> members;

    // A key given twice has its last value, as every JSON reader takes it.
    const JValue* get(std::string_view key) const {
        if (kind != Kind::object) return nullptr;
        for (auto it = members.rbegin(); it != members.rend(); ++it)
            if (it->first == key) return &it->second;
        return nullptr;
    }
};

class JsonParser {
public:
    enum class Stop { none, eof, syntax };
    static constexpr int kMaxDepth = 64;

    explicit JsonParser(std::string_view s) : s_(s) {}

    // Parses the document into `root`; on a stop, `root` holds what was read.
    Stop parse(JValue& root) {
        space();
        if (!value(&root, 0)) return stop_;
        space();
        if (i_ != s_.size()) return syntax("text after the end of the document");
        return Stop::none;
    }

    std::string where() const {
        size_t line = 1, col = 1;
        for (size_t k = 0; k < pos_ && k < s_.size(); ++k) {
            if (s_[k] == '\n') ++line, col = 1;
            else ++col;
        }
        return "line " + std::to_string(line) + ", column " + std::to_string(col) + ": " + what_;
    }

private:
    Stop syntax(const char* what) {
        if (stop_ == Stop::none) stop_ = Stop::syntax, what_ = what, pos_ = i_;
        return stop_;
    }
    bool eof() {
        if (stop_ == Stop::none) stop_ = Stop::eof, what_ = "the document ends early", pos_ = i_;
        return false;
    }
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool literal(std::string_view word) {
        for (size_t k = 0; k < word.size(); ++k) {
            if (i_ + k >= s_.size()) return i_ = s_.size(), eof();
            if (s_[i_ + k] != word[k]) return syntax("unknown word"), false;
        }
        i_ += word.size();
        return true;
    }

    // `out` is null for a value to check and drop.
    bool value(JValue* out, int depth) {
        bool ok = any(out, depth);
        // A number that meets the end of the text inside a container may be cut short.
        if (ok && out) out->complete = !(out->kind == JValue::Kind::number && i_ >= s_.size() && depth > 0);
        return ok;
    }

    bool any(JValue* out, int depth) {
        if (i_ >= s_.size()) return eof();
        if (depth > kMaxDepth) return syntax("nested too deep"), false;
        char c = s_[i_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            if (out) out->kind = JValue::Kind::string;
            return string(out ? &out->text : nullptr);
        }
        if (c == 't' || c == 'f') {
            if (out) out->kind = JValue::Kind::boolean, out->boolean = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n' && i_ + 1 < s_.size() && s_[i_ + 1] == 'u') return literal("null");
        return number(out);
    }

    bool object(JValue* out, int depth) {
        if (out) out->kind = JValue::Kind::object;
        ++i_;
        space();
        if (i_ >= s_.size()) return eof();
        if (s_[i_] == '}') return ++i_, true;
        while (true) {
            space();
            if (i_ >= s_.size()) return eof();
            if (s_[i_] != '"') return syntax("expected a key"), false;
            std::string key;
            if (!string(&key)) return false;
            space();
            if (i_ >= s_.size()) return eof();
            if (s_[i_] != ':') return syntax("expected ':'"), false;
            ++i_;
            space();
            // The environment of the run is never kept, nor the lists of
            // every iteration's time (-I), which can be long and are not read.
            bool keep = out && !(depth == 0 && key == "env") && key != "times_us" &&
                        key != "per_process_max_times_us";
            JValue* slot = nullptr;
            if (keep) {
                out->members.emplace_back(std::move(key), JValue{});
                slot = &out->members.back().second;
            }
            if (!value(slot, depth + 1)) return false;
            space();
            if (i_ >= s_.size()) return eof();
            if (s_[i_] == '}') return ++i_, true;
            if (s_[i_] != ',') return syntax("expected ',' or '}'"), false;
            ++i_;
        }
    }

    bool array(JValue* out, int depth) {
        if (out) out->kind = JValue::Kind::array;
        ++i_;
        space();
        if (i_ >= s_.size()) return eof();
        if (s_[i_] == ']') return ++i_, true;
        while (true) {
            space();
            JValue* slot = nullptr;
            if (out) slot = &out->items.emplace_back();
            if (!value(slot, depth + 1)) return false;
            space();
            if (i_ >= s_.size()) return eof();
            if (s_[i_] == ']') return ++i_, true;
            if (s_[i_] != ',') return syntax("expected ',' or ']'"), false;
            ++i_;
        }
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex4(uint32_t& cp) {
        if (i_ + 4 > s_.size()) return i_ = s_.size(), eof();
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            int h = hex(s_[i_ + k]);
            if (h < 0) return syntax("bad \\u escape"), false;
            cp = cp * 16 + static_cast<uint32_t>(h);
        }
        i_ += 4;
        return true;
    }

    static void utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }

    bool string(std::string* out) {
        ++i_;
        while (true) {
            size_t b = i_;
            while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\\' &&
                   static_cast<unsigned char>(s_[i_]) >= 0x20)
                ++i_;
            if (out) out->append(s_.data() + b, i_ - b);
            if (i_ >= s_.size()) return eof();
            char c = s_[i_];
            if (c == '"') return ++i_, true;
            if (c != '\\') return syntax("control character in a string"), false;
            if (++i_ >= s_.size()) return eof();
            char e = s_[i_++];
            char plain = e == '"' ? '"' : e == '\\' ? '\\' : e == '/' ? '/' : e == 'b' ? '\b'
                       : e == 'f' ? '\f' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : 0;
            if (plain) {
                if (out) out->push_back(plain);
                continue;
            }
            if (e != 'u') return --i_, syntax("bad escape"), false;
            uint32_t cp;
            if (!hex4(cp)) return false;
            if (cp >= 0xd800 && cp < 0xdc00) {
                if (i_ + 2 > s_.size()) return i_ = s_.size(), eof();
                if (s_[i_] != '\\' || s_[i_ + 1] != 'u') return syntax("lone surrogate"), false;
                i_ += 2;
                uint32_t low;
                if (!hex4(low)) return false;
                if (low < 0xdc00 || low >= 0xe000) return syntax("lone surrogate"), false;
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
            } else if (cp >= 0xdc00 && cp < 0xe000) {
                return syntax("lone surrogate"), false;
            }
            if (out) utf8(*out, cp);
        }
    }

    bool number(JValue* out) {
        size_t b = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        if (i_ >= s_.size()) return eof();
        // printf's words for non-finite doubles, which nccl-tests writes bare.
        for (std::string_view word : {"inf", "nan"}) {
            if (s_.substr(i_).starts_with(word) || word.starts_with(s_.substr(i_))) {
                if (!literal(word)) return false;
                if (out) out->kind = JValue::Kind::number, out->nonfinite = true, out->number = s_.substr(b, i_ - b);
                return true;
            }
        }
        auto digits = [&] {
            size_t d = i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
            return i_ - d;
        };
        if (s_[i_] == '0') {
            ++i_;
        } else if (!digits()) {
            return syntax("expected a value"), false;
        }
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (!digits()) return i_ >= s_.size() ? eof() : (syntax("expected digits"), false);
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (!digits()) return i_ >= s_.size() ? eof() : (syntax("expected digits"), false);
        }
        if (out) out->kind = JValue::Kind::number, out->number = s_.substr(b, i_ - b);
        return true;
    }

    std::string_view s_;
    size_t i_ = 0, pos_ = 0;
    Stop stop_ = Stop::none;
    std::string what_;
};

class JsonReader {
public:
    JsonReader(std::string_view text, std::string_view collective) : text_(text), collective_(collective) {}

    ReadResult read() {
        JValue root;
        JsonParser parser(text_);
        JsonParser::Stop stop = parser.parse(root);
        if (stop == JsonParser::Stop::syntax)
            sink_.add("json-invalid", Severity::error, kNoTable, "not a valid JSON file: " + parser.where(), "");
        else if (stop == JsonParser::Stop::eof)
            sink_.add("json-truncated", Severity::error, kNoTable,
                      "the JSON file ends in the middle of the document: the run did not finish", "");
        std::vector<TableBuild> tables;
        if (root.kind == JValue::Kind::object) document(root, tables);
        else if (stop == JsonParser::Stop::none)
            sink_.add("json-invalid", Severity::error, kNoTable, "the JSON document is not an nccl-tests -J file",
                      "");
        detail::finish_result(result_, tables, sink_, collective_);
        return std::move(result_);
    }

private:
    static std::optional<int64_t> whole(const JValue* v) {
        if (!v || v->kind != JValue::Kind::number || v->nonfinite) return std::nullopt;
        scan::Integer n = scan::parse_integer(v->number);
        if (n.status != Num::ok) return std::nullopt;
        return n.value;
    }

    static std::string text(const JValue* v) {
        return v && v->kind == JValue::Kind::string ? v->text : std::string();
    }

    // "true"/"false" as nccl-tests writes them, or JSON booleans.
    static std::optional<bool> truth(const JValue* v) {
        if (!v) return std::nullopt;
        if (v->kind == JValue::Kind::boolean) return v->boolean;
        if (v->kind == JValue::Kind::string && (v->text == "true" || v->text == "false")) return v->text == "true";
        return std::nullopt;
    }

    // A measurement: a number, or "nan" as a string; a problem is recorded.
    std::optional<double> real(const JValue* v, Num& problem) {
        auto fail = [&](Num s) {
            if (problem == Num::ok) problem = s;
            return std::nullopt;
        };
        if (!v) return fail(Num::bad);
        if (v->kind == JValue::Kind::string) {
            scan::Real r = scan::parse_real(scan::trim(v->text));
            return r.status == Num::ok ? std::optional<double>(r.value) : fail(r.status);
        }
        if (v->kind != JValue::Kind::number) return fail(Num::bad);
        scan::Real r = scan::parse_real(v->number);
        return r.status == Num::ok ? std::optional<double>(r.value) : fail(r.status);
    }

    void document(const JValue& root, std::vector<TableBuild>& tables) {
        auto version = whole(root.get("version"));
        if (!version || *version < 1 || *version > 3)
            sink_.add("json-version", Severity::warn, kNoTable,
                      "unknown -J file version; read as versions 1 to 3 are",
                      version ? "version " + std::to_string(*version) : std::string("no version"));
        if (auto nccl = whole(root.get("nccl_version"))) result_.versions["nccl_library"] = std::to_string(*nccl);
        std::string label;
        if (const JValue* args = root.get("args"); args && args->kind == JValue::Kind::array && !args->items.empty())
            label = std::string(scan::label_from_program(text(&args->items[0])));
        if (const JValue* config = root.get("config")) read_config(*config);
        const JValue* results = root.get("results");
        if (!results || results->kind != JValue::Kind::array) return;
        TableBuild t;
        t.label = label;
        t.header = true;
        t.steps = detail::steps_from_params(result_.params);
        t.ranks = static_cast<int64_t>(result_.ranks.size());
        {
            std::vector<int64_t> numbers;
            for (const RankLine& r : result_.ranks) numbers.push_back(r.rank);
            std::sort(numbers.begin(), numbers.end());
            t.ranks_whole = !numbers.empty() && numbers.front() == 0 &&
                            numbers.back() == static_cast<int64_t>(numbers.size()) - 1 &&
                            std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end();
        }
        t.first_row = t.end_row = 0;
        std::string last_key;
        for (const JValue& item : results->items)
            if (item.complete) read_row(item, t, last_key);
        t.end_row = result_.rows.size();
        if (const JValue* oob = root.get("out_of_bounds"); oob && oob->complete) {
            auto count = whole(oob->get("count"));
            auto okay = truth(oob->get("okay"));
            if (count) {
                t.footer = true;
                t.out_of_bounds = *count;
                if (okay && !*okay && *count == 0) t.out_of_bounds = 1;
            }
        }
        if (const JValue* bits = root.get("bitwise_mismatches"))
            if (auto count = whole(bits->get("count")); count && *count != 0)
                sink_.add("bitwise-mismatch", Severity::warn, 0,
                          std::to_string(*count) + " results differed bit for bit between repeats",
                          "bitwise_mismatches " + std::to_string(*count));
        if (const JValue* avg = root.get("average_bus_bandwidth")) {
            Num problem = Num::ok;
            if (auto bw = real(avg->get("bandwidth"), problem)) t.avg_busbw = *bw;
            else if (problem == Num::nonfinite)
                sink_.add("non-finite", Severity::error, 0, "the average bus bandwidth is not finite",
                          "average_bus_bandwidth");
            if (auto okay = truth(avg->get("okay")); okay && !*okay)
                sink_.add("min-bw-not-met", Severity::warn, 0,
                          "the average bus bandwidth is below the minimum set in NCCL_TESTS_MIN_BW",
                          "average_bus_bandwidth okay false");
        }
        if (const JValue* errors = root.get("errors"); errors && errors->kind == JValue::Kind::array)
            for (const JValue& e : errors->items)
                if (!text(&e).empty())
                    sink_.add("benchmark-error", Severity::warn, 0, "the benchmark reported an error", text(&e));
        t.concluded = root.get("end_time") != nullptr;
        tables.push_back(std::move(t));
    }

    void read_config(const JValue& config) {
        static constexpr std::pair<const char*, const char*> kKeys[] = {
            {"nthreads", "nThread"},     {"ngpus", "nGpus"},         {"minimum_bytes", "minBytes"},
            {"maximum_bytes", "maxBytes"}, {"warmup_iters", "warmup_iters"}, {"iterations", "iters"},
            {"aggregated_iterations", "agg_iters"}, {"validation", "validation"}, {"graph", "graph"}};
        for (auto [json_key, key] : kKeys)
            if (auto v = whole(config.get(json_key))) result_.params[key] = std::to_string(*v);
        if (auto v = whole(config.get("step_factor"))) result_.params["step"] = std::to_string(*v) + "(factor)";
        else if (auto b = whole(config.get("step_bytes"))) result_.params["step"] = std::to_string(*b) + "(bytes)";
        const JValue* devices = config.get("devices");
        if (!devices || devices->kind != JValue::Kind::array) return;
        for (const JValue& d : devices->items) {
            RankLine r;
            r.rank = whole(d.get("rank")).value_or(-1);
            r.group = whole(d.get("group")).value_or(-1);
            r.pid = whole(d.get("pid")).value_or(-1);
            r.host = text(d.get("hostname"));
            r.local_device = whole(d.get("device")).value_or(-1);
            r.busid = text(d.get("device_hex"));
            r.device = text(d.get("device_info"));
            result_.ranks.push_back(std::move(r));
        }
    }

    // One block ("out_of_place" or "in_place") of a result.
    struct Block {
        double time = 0, algbw = 0, busbw = 0;
        std::optional<int64_t> wrong;
    };

    std::optional<Block> block(const JValue* b, Num& problem, size_t table, int64_t size) {
        if (!b || b->kind != JValue::Kind::object) return std::nullopt;
        Block out;
        const JValue* time = b->get("time");
        if (!time && (time = b->get("cpu_time")))
            sink_.add("cpu-time", Severity::note, table, "times are CPU times (-C), not GPU times", "cpu_time");
        if (auto v = real(time, problem)) out.time = *v;
        if (auto v = real(b->get("alg_bw"), problem)) out.algbw = *v;
        if (auto v = real(b->get("bus_bw"), problem)) out.busbw = *v;
        if ((out.time < 0 || out.algbw < 0 || out.busbw < 0) && problem == Num::ok) problem = Num::negative;
        const JValue* nwrong = b->get("nwrong");
        if (nwrong && nwrong->kind != JValue::Kind::null) {
            if (auto v = real(nwrong, problem)) {
                if (*v != std::trunc(*v) || std::fabs(*v) >= 9.2e18) problem = Num::bad;
                else out.wrong = static_cast<int64_t>(*v);
            }
        }
        if (const JValue* bits = b->get("bitwise"))
            if (auto diff = whole(bits->get("different_bits")); diff && *diff != 0)
                sink_.add("bitwise-mismatch", Severity::warn, table,
                          "results differed bit for bit between repeats at " + std::to_string(size) + " B",
                          "different_bits " + std::to_string(*diff));
        return out;
    }

    static std::optional<IterStats> per_iter(const JValue* v) {
        if (!v || v->kind != JValue::Kind::object) return std::nullopt;
        IterStats s;
        auto get = [&](const char* key, double& out) {
            const JValue* x = v->get(key);
            if (x && x->kind == JValue::Kind::number && !x->nonfinite) {
                scan::Real r = scan::parse_real(x->number);
                if (r.status == Num::ok) out = r.value;
            }
        };
        get("min_us", s.min_us);
        get("max_us", s.max_us);
        get("p99_us", s.p99_us);
        get("cv_pct", s.cv_pct);
        return s;
    }

    void read_row(const JValue& item, TableBuild& t, std::string& last_key) {
        const size_t table = 0;
        PackedRow r;
        auto size = whole(item.get("size"));
        std::string evidence = "result " + std::to_string(t.sizes.size());
        if (!size) {
            sink_.add("malformed-row", Severity::error, table, "a result without a readable size is left out",
                      evidence);
            return;
        }
        r.size_bytes = *size;
        r.count = whole(item.get("count")).value_or(0);
        const std::string type = text(item.get("type")), redop = text(item.get("redop"));
        std::string root_text;
        if (const JValue* root = item.get("root")) {
            root_text = root->kind == JValue::Kind::string ? std::string(scan::trim(root->text))
                                                             : std::string(root->number);
            scan::Integer n = scan::parse_integer(root_text);
            if (n.status == Num::ok) r.root = static_cast<int32_t>(std::clamp<int64_t>(n.value, -1, INT32_MAX));
        }
        std::string key = type + '\x1f' + redop + '\x1f' + root_text;
        t.sizes.push_back({r.size_bytes, t.sizes.empty() || key != last_key});
        last_key = std::move(key);
        evidence = std::to_string(r.size_bytes) + " B " + type;
        Num problem = Num::ok;
        auto oop = block(item.get("out_of_place"), problem, table, r.size_bytes);
        auto ip = block(item.get("in_place"), problem, table, r.size_bytes);
        if (problem != Num::ok) {
            static constexpr const char* kCode[] = {"", "non-finite", "non-ascii-number", "bad-number",
                                                    "negative-value"};
            static constexpr const char* kWhat[] = {"", "is not finite (nan, inf or beyond the range of a double)",
                                                    "is written with characters other than ASCII digits",
                                                    "is missing or not a number",
                                                    "is negative: no run measures that"};
            sink_.add(kCode[static_cast<int>(problem)], Severity::error, table,
                      "a value of the result at " + std::to_string(r.size_bytes) + " B " +
                          kWhat[static_cast<int>(problem)] + ": it is left out",
                      evidence);
            return;
        }
        if (!oop) {
            sink_.add("in-place-only", Severity::note, table, "results with no out-of-place block are left out",
                      evidence);
            return;
        }
        r.time_us = oop->time, r.algbw_gbps = oop->algbw, r.busbw_gbps = oop->busbw;
        if (oop->wrong) r.wrong = *oop->wrong, r.set(PackedRow::has_wrong);
        if (ip) {
            r.ip_time_us = ip->time, r.ip_algbw_gbps = ip->algbw, r.ip_busbw_gbps = ip->busbw;
            r.set(PackedRow::in_place), r.set(PackedRow::has_ip_algbw), r.set(PackedRow::has_ip_busbw);
            if (ip->wrong) r.ip_wrong = *ip->wrong, r.set(PackedRow::has_ip_wrong);
        }
        r.type = result_.intern(type);
        r.redop = result_.intern(redop);
        RowExtra extra;
        extra.per_iter = per_iter(item.get("out_of_place_per_iter"));
        extra.ip_per_iter = per_iter(item.get("in_place_per_iter"));
        if (extra.per_iter || extra.ip_per_iter) {
            extra.row = static_cast<uint32_t>(result_.rows.size());
            result_.extras.push_back(std::move(extra));
            r.set(PackedRow::has_extra);
        }
        result_.rows.push_back(r);
    }

    std::string_view text_, collective_;
    ReadResult result_;
    FindingSink sink_;
};

}  // namespace

ReadResult read_json(std::string_view text, std::string_view collective) {
    return JsonReader(text, collective).read();
}

}  // namespace quorvane::analysis
