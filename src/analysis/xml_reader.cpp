#include "xml_reader.hpp"

#include <cstdint>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quorvane::analysis::xml {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name_start(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool is_name_char(unsigned char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Characters XML allows below U+0020 are tab, line feed and carriage return.
bool is_forbidden_control(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

bool is_xml_char(std::uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string quoted(std::string_view name) { return "<" + std::string(name) + ">"; }

class Reader {
public:
    Reader(std::string_view text, Handler& handler, std::size_t max_depth)
        : t_(text), handler_(handler), max_depth_(max_depth) {}

    void run() {
        if (starts("\xEF\xBB\xBF")) p_ += 3;
        skip_space();
        if (starts("<?xml") && p_ + 5 < t_.size() && (is_space(t_[p_ + 5]) || t_[p_ + 5] == '?')) {
            std::size_t end = t_.find("?>", p_);
            if (end == std::string_view::npos) unclosed("the XML declaration", p_);
            check_chars(p_, end);
            p_ = end + 2;
        }
        bool seen_root = false;
        for (;;) {
            if (open_.empty()) {
                skip_space();
                if (p_ >= t_.size()) {
                    if (!seen_root) fail("no element found", p_);
                    return;
                }
                if (t_[p_] != '<') {
                    fail(seen_root ? "text after the document element" : "text before the document element", p_);
                }
            } else {
                content();
                if (p_ >= t_.size()) {
                    const Open& top = open_.back();
                    unclosed(quoted(top.name), top.offset);
                }
            }
            if (starts("<!--")) {
                comment();
            } else if (starts("<?")) {
                processing_instruction();
            } else if (starts("<![CDATA[")) {
                if (open_.empty()) fail("CDATA section outside the document element", p_);
                cdata();
            } else if (starts("<!DOCTYPE")) {
                if (seen_root) fail("document type declaration after the document element", p_);
                doctype();
            } else if (starts("</")) {
                end_tag();
            } else {
                if (open_.empty() && seen_root) fail("a second element after the document element", p_);
                start_tag();
                seen_root = true;
            }
        }
    }

private:
    struct Open {
        std::string_view name;
        std::size_t offset;
    };
    struct Pending {
        std::string_view name;
        std::string_view raw;    // the value as written, when it needed no decoding
        std::size_t begin = 0;   // else its place in decoded_
        std::size_t length = 0;
        bool decoded = false;
    };

    [[noreturn]] void fail(const std::string& message, std::size_t at) const { throw Error(message, at); }

    // The text ends inside something: said at the end, naming where it began.
    [[noreturn]] void unclosed(const std::string& what, std::size_t begin) const {
        fail("unexpected end of file: " + what + " opened at " + where(begin) + " is not closed", t_.size());
    }

    std::string where(std::size_t offset) const {
        Position pos = position_of(t_, offset);
        return "line " + std::to_string(pos.line) + ", column " + std::to_string(pos.column);
    }

    bool starts(std::string_view s) const { return t_.size() - p_ >= s.size() && t_.compare(p_, s.size(), s) == 0; }

    void skip_space() {
        while (p_ < t_.size() && is_space(t_[p_])) ++p_;
    }

    void check_chars(std::size_t begin, std::size_t end) const {
        for (std::size_t i = begin; i < end; ++i) {
            if (is_forbidden_control(static_cast<unsigned char>(t_[i]))) fail("invalid character", i);
        }
    }

    std::string_view name_at(std::size_t& i) const {
        std::size_t begin = i;
        if (i >= t_.size() || !is_name_start(static_cast<unsigned char>(t_[i]))) return {};
        while (i < t_.size() && is_name_char(static_cast<unsigned char>(t_[i]))) ++i;
        return t_.substr(begin, i - begin);
    }

    // The reference starting at t_[i] == '&'; appends its character to `out`
    // when given. Returns the offset after the ';'.
    std::size_t reference(std::size_t i, std::string* out) const {
        std::size_t semi = t_.find(';', i);
        if (semi == std::string_view::npos || semi - i > 16) fail("'&' does not start a reference (write &amp;)", i);
        std::string_view body = t_.substr(i + 1, semi - i - 1);
        std::uint32_t cp = 0;
        if (!body.empty() && body[0] == '#') {
            bool hex = body.size() > 1 && body[1] == 'x';
            std::string_view digits = body.substr(hex ? 2 : 1);
            if (digits.empty()) fail("invalid character reference", i);
            for (char c : digits) {
                int d;
                if (c >= '0' && c <= '9') d = c - '0';
                else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
                else fail("invalid character reference", i);
                cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
                if (cp > 0x10FFFF) fail("invalid character reference", i);
            }
            if (!is_xml_char(cp)) fail("character reference to a character XML does not allow", i);
        } else if (body == "lt") {
            cp = '<';
        } else if (body == "gt") {
            cp = '>';
        } else if (body == "amp") {
            cp = '&';
        } else if (body == "quot") {
            cp = '"';
        } else if (body == "apos") {
            cp = '\'';
        } else {
            fail("undefined entity &" + std::string(body) + ";", i);
        }
        if (out) append_utf8(*out, cp);
        return semi + 1;
    }

    // Character data up to the next '<' (or the end).
    void content() {
        std::size_t i = p_;
        while (i < t_.size()) {
            unsigned char c = static_cast<unsigned char>(t_[i]);
            if (c == '<') break;
            if (c == '&') {
                i = reference(i, nullptr);
                continue;
            }
            if (is_forbidden_control(c)) fail("invalid character", i);
            ++i;
        }
        p_ = i;
    }

    void comment() {
        std::size_t dashes = t_.find("--", p_ + 4);
        if (dashes == std::string_view::npos) unclosed("a comment", p_);
        if (dashes + 2 >= t_.size() || t_[dashes + 2] != '>') fail("'--' inside a comment", dashes);
        check_chars(p_, dashes);
        p_ = dashes + 3;
    }

    void processing_instruction() {
        std::size_t i = p_ + 2;
        std::string_view target = name_at(i);
        if (target.empty()) fail("invalid processing instruction", p_);
        if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l') {
            fail("the XML declaration is allowed only at the start of the document", p_);
        }
        std::size_t end = t_.find("?>", i);
        if (end == std::string_view::npos) unclosed("a processing instruction", p_);
        check_chars(i, end);
        p_ = end + 2;
    }

    void cdata() {
        std::size_t end = t_.find("]]>", p_ + 9);
        if (end == std::string_view::npos) unclosed("a CDATA section", p_);
        check_chars(p_, end);
        p_ = end + 3;
    }

    // Skipped whole; entities it might define are not expanded, so a
    // reference to one is an error later.
    void doctype() {
        char quote = 0;
        int depth = 0;
        for (std::size_t i = p_ + 9; i < t_.size(); ++i) {
            char c = t_[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++depth;
            } else if (c == ']') {
                --depth;
            } else if (c == '>' && depth <= 0) {
                p_ = i + 1;
                return;
            }
        }
        unclosed("the document type declaration", p_);
    }

    void end_tag() {
        std::size_t i = p_ + 2;
        std::string_view name = name_at(i);
        if (name.empty()) fail("invalid end tag", p_);
        while (i < t_.size() && is_space(t_[i])) ++i;
        if (i >= t_.size()) unclosed("the end tag </" + std::string(name) + ">", p_);
        if (t_[i] != '>') fail("expected '>' to end </" + std::string(name) + ">", i);
        if (open_.empty()) fail("end tag </" + std::string(name) + "> without a start tag", p_);
        const Open& top = open_.back();
        if (name != top.name) {
            fail("mismatched tag: </" + std::string(name) + "> does not close " + quoted(top.name) + " opened at " +
                     where(top.offset),
                 p_);
        }
        handler_.end_element(name);
        open_.pop_back();
        p_ = i + 1;
    }

    void start_tag() {
        std::size_t i = p_ + 1;
        std::string_view name = name_at(i);
        if (name.empty()) fail("'<' not followed by an element name", p_);
        if (open_.size() >= max_depth_) {
            fail("elements nested deeper than " + std::to_string(max_depth_) + " levels", p_);
        }
        pending_.clear();
        forget_names();
        decoded_.clear();
        bool self_closing = false;
        for (;;) {
            std::size_t before = i;
            while (i < t_.size() && is_space(t_[i])) ++i;
            if (i >= t_.size()) unclosed("the tag " + quoted(name), p_);
            char c = t_[i];
            if (c == '>') {
                ++i;
                break;
            }
            if (c == '/') {
                if (i + 1 >= t_.size()) unclosed("the tag " + quoted(name), p_);
                if (t_[i + 1] != '>') fail("expected '>' after '/' in " + quoted(name), i + 1);
                i += 2;
                self_closing = true;
                break;
            }
            std::size_t name_at_offset = i;
            std::string_view attribute = name_at(i);
            if (attribute.empty()) fail("unexpected character in the tag " + quoted(name), i);
            if (name_at_offset == before) {
                fail("expected white space before the attribute " + std::string(attribute), name_at_offset);
            }
            while (i < t_.size() && is_space(t_[i])) ++i;
            if (i >= t_.size()) unclosed("the tag " + quoted(name), p_);
            if (t_[i] != '=') fail("expected '=' after the attribute " + std::string(attribute), i);
            ++i;
            while (i < t_.size() && is_space(t_[i])) ++i;
            if (i >= t_.size()) unclosed("the tag " + quoted(name), p_);
            if (t_[i] != '"' && t_[i] != '\'') {
                fail("the value of the attribute " + std::string(attribute) + " is not quoted", i);
            }
            if (duplicate(attribute)) fail("duplicate attribute " + std::string(attribute), name_at_offset);
            i = attribute_value(i, attribute);
        }
        attributes_.clear();
        for (const Pending& a : pending_) {
            attributes_.push_back({a.name, a.decoded ? std::string_view(decoded_).substr(a.begin, a.length) : a.raw});
        }
        std::size_t offset = p_;
        p_ = i;
        handler_.start_element(name, attributes_, offset);
        if (self_closing) handler_.end_element(name);
        else open_.push_back({name, offset});
    }

    // Whether the element being read already has `attribute`.  A few are
    // compared in turn; past that a hash set keeps the check linear (100,000
    // attributes in one tag).
    bool duplicate(std::string_view attribute) {
        constexpr std::size_t kScanned = 16;
        if (pending_.size() < kScanned) {
            for (const Pending& seen : pending_) {
                if (seen.name == attribute) return true;
            }
            return false;
        }
        if (names_.empty()) {
            for (const Pending& seen : pending_) names_.insert(seen.name);
        }
        return !names_.insert(attribute).second;
    }

    // Empties the set of names; a large one is given back rather than cleared,
    // so that the next tags do not pay for its buckets.
    void forget_names() {
        if (names_.empty()) return;
        if (names_.bucket_count() > 1024) std::unordered_set<std::string_view>().swap(names_);
        else names_.clear();
    }

    // The quoted value at t_[i]; returns the offset after its closing quote.
    std::size_t attribute_value(std::size_t i, std::string_view attribute) {
        char quote = t_[i];
        std::size_t begin = ++i;
        bool plain = true;
        for (; i < t_.size() && t_[i] != quote; ++i) {
            unsigned char c = static_cast<unsigned char>(t_[i]);
            if (c == '<') fail("'<' in the value of the attribute " + std::string(attribute), i);
            if (c == '&' || c == '\t' || c == '\n' || c == '\r') plain = false;
            else if (is_forbidden_control(c)) fail("invalid character", i);
        }
        if (i >= t_.size()) unclosed("the value of the attribute " + std::string(attribute), begin - 1);
        std::size_t end = i;
        if (plain) {
            pending_.push_back({attribute, t_.substr(begin, end - begin), 0, 0, false});
            return end + 1;
        }
        // Line ends and tabs become blanks; references become their characters.
        std::size_t start = decoded_.size();
        for (std::size_t k = begin; k < end;) {
            char c = t_[k];
            if (c == '&') {
                k = reference(k, &decoded_);
            } else if (c == '\r') {
                decoded_ += ' ';
                k += (k + 1 < end && t_[k + 1] == '\n') ? 2 : 1;
            } else {
                decoded_ += (c == '\t' || c == '\n') ? ' ' : c;
                ++k;
            }
        }
        pending_.push_back({attribute, {}, start, decoded_.size() - start, true});
        return end + 1;
    }

    std::string_view t_;
    std::size_t p_ = 0;
    Handler& handler_;
    std::size_t max_depth_;
    std::vector<Open> open_;
    std::vector<Pending> pending_;
    std::vector<Attribute> attributes_;
    std::unordered_set<std::string_view> names_;
    std::string decoded_;
};

}  // namespace

void read(std::string_view text, Handler& handler, std::size_t max_depth) {
    Reader(text, handler, max_depth).run();
}

}  // namespace quorvane::analysis::xml
