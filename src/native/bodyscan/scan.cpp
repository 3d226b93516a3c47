// The byte scan: an explicit stack instead of recursion (the limit is the
// caller's), one pass, and the spans of what collection reads.
#include "scan.hpp"

#include <array>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace bodyscan {

namespace {

// What a byte is inside a string and between tokens.
enum : std::uint8_t { kPlain, kQuote, kBackslash, kControl, kHigh };

constexpr std::array<std::uint8_t, 256> make_string_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = c < 0x20 ? kControl : c == '"' ? kQuote : c == '\\' ? kBackslash : c >= 0x80 ? kHigh : kPlain;
    return t;
}
constexpr auto kStringClass = make_string_classes();

constexpr bool is_space(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr int hex_value(unsigned char c) {
    return is_digit(c) ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
}

// What a value fills once read; a container remembers its own.
enum class Slot : std::uint8_t { kNone, kTop, kModel, kMessagesValue, kElement, kRole };
// Which container it is, for which keys count inside it.
enum class Kind : std::uint8_t { kOther, kTop, kMessages, kMessage };

struct Frame {
    Kind kind;
    bool object;
    Slot slot;
    Offset start;
};

class Scanner {
public:
    Scanner(const unsigned char* s, std::size_t n, std::size_t limit, Found& out)
        : s_(s), n_(n), limit_(limit), out_(out) {
        stack_.reserve(64);
    }

    Outcome run() {
        if (n_ >= 3 && s_[0] == 0xEF && s_[1] == 0xBB && s_[2] == 0xBF) i_ = 3;
        Slot slot = Slot::kTop;
        bool need_value = true;
        for (;;) {
            if (need_value) {
                space();
                if (i_ >= n_) return Outcome::kRefused;
                const Offset start = static_cast<Offset>(i_);
                const unsigned char c = s_[i_];
                if (c == '{' || c == '[') {
                    const bool object = c == '{';
                    Kind kind = Kind::kOther;
                    if (slot == Slot::kTop) {
                        if (!object) return Outcome::kRefused;
                        kind = Kind::kTop;
                    } else if (slot == Slot::kMessagesValue) {
                        if (object) return Outcome::kRefused;
                        // The last messages key wins, as in json.loads.
                        kind = Kind::kMessages;
                        out_.has_messages = true;
                        out_.messages.clear();
                    } else if (slot == Slot::kElement) {
                        out_.messages.push_back({start, 0, object ? kNoRole : kNotObject, 0});
                        if (object) kind = Kind::kMessage;
                    }
                    if (stack_.size() >= limit_) return Outcome::kTooDeep;
                    ++i_;
                    space();
                    if (i_ < n_ && s_[i_] == (object ? '}' : ']')) {
                        ++i_;  // empty: never pushed
                        fill(slot, start);
                    } else {
                        stack_.push_back({kind, object, slot, start});
                        if (!next_slot(slot)) return Outcome::kRefused;
                        continue;
                    }
                } else {
                    if (slot == Slot::kTop || slot == Slot::kMessagesValue) return Outcome::kRefused;
                    if (!scalar()) return Outcome::kRefused;
                    if (slot == Slot::kElement) out_.messages.push_back({start, 0, kNotObject, 0});
                    fill(slot, start);
                }
            }
            // After a value: the end of the body, a comma, or its container's close.
            if (stack_.empty()) {
                space();
                return i_ == n_ ? Outcome::kFound : Outcome::kRefused;
            }
            space();
            if (i_ >= n_) return Outcome::kRefused;
            const Frame& f = stack_.back();
            if (f.kind == Kind::kOther && !f.object && !scalar_run()) return Outcome::kRefused;
            if (i_ >= n_) return Outcome::kRefused;
            if (s_[i_] == ',') {
                ++i_;
                if (!next_slot(slot)) return Outcome::kRefused;
                need_value = true;
            } else if (s_[i_] == (f.object ? '}' : ']')) {
                ++i_;
                close();
                need_value = false;
            } else {
                return Outcome::kRefused;
            }
        }
    }

private:
    void space() {
        while (i_ < n_ && is_space(s_[i_])) ++i_;
    }

    // The innermost container is closed (its closing byte read).
    void close() {
        const Frame f = stack_.back();
        stack_.pop_back();
        fill(f.slot, f.start);
    }

    // A value [start, i_) has been read for `slot`.
    void fill(Slot slot, Offset start) {
        const auto end = static_cast<Offset>(i_);
        switch (slot) {
            case Slot::kModel:
                out_.has_model = true;
                out_.model_start = start;
                out_.model_end = end;
                break;
            case Slot::kRole:  // the last role key wins
                out_.messages.back().role_start = start;
                out_.messages.back().role_end = end;
                break;
            case Slot::kElement:
                out_.messages.back().end = end;
                break;
            default:
                break;
        }
    }

    // What the next value in the innermost container fills: for an object,
    // after its key and colon are read.
    bool next_slot(Slot& slot) {
        const Frame& f = stack_.back();
        if (!f.object) {
            slot = f.kind == Kind::kMessages ? Slot::kElement : Slot::kNone;
            return true;
        }
        space();
        if (i_ >= n_ || s_[i_] != '"') return false;
        const std::size_t key_start = i_ + 1;
        bool escaped = false;
        if (!string(escaped)) return false;
        const std::size_t key_end = i_ - 1;
        space();
        if (i_ >= n_ || s_[i_] != ':') return false;
        ++i_;
        slot = Slot::kNone;
        if (f.kind == Kind::kTop) {
            if (key_is(key_start, key_end, escaped, "model"))
                slot = Slot::kModel;
            else if (key_is(key_start, key_end, escaped, "messages"))
                slot = Slot::kMessagesValue;
        } else if (f.kind == Kind::kMessage && key_is(key_start, key_end, escaped, "role")) {
            slot = Slot::kRole;
        }
        return true;
    }

    // Whether the key's raw text [a, b) (already validated) reads as `name`,
    // an ASCII name: escapes decoded, so "mod\u0065l" is "model".
    bool key_is(std::size_t a, std::size_t b, bool escaped, const char* name) const {
        const std::size_t len = std::strlen(name);
        if (!escaped) return b - a == len && std::memcmp(s_ + a, name, len) == 0;
        std::size_t k = 0;
        while (a < b) {
            unsigned char c = s_[a++];
            if (c == '\\') {
                const unsigned char e = s_[a++];
                if (e == 'u') {
                    int cp = 0;
                    for (int j = 0; j < 4; ++j) cp = cp * 16 + hex_value(s_[a++]);
                    if (cp >= 0x80) return false;  // no name has a character beyond ASCII
                    c = static_cast<unsigned char>(cp);
                } else {
                    c = e == 'b' ? '\b' : e == 'f' ? '\f' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
                }
            }
            if (k >= len || static_cast<unsigned char>(name[k]) != c) return false;
            ++k;
        }
        return k == len;
    }

    // In an array nobody reads, at a comma: the scalars that follow, read
    // in one loop (an array of a million numbers is the cheap way to make a
    // body dear). Stops before anything else, for the main loop.
    bool scalar_run() {
        while (i_ < n_ && s_[i_] == ',') {
            std::size_t j = i_ + 1;
            while (j < n_ && is_space(s_[j])) ++j;
            if (j >= n_ || s_[j] == '[' || s_[j] == '{') return true;
            i_ = j;
            if (!scalar()) return false;
            space();
        }
        return true;
    }

    bool scalar() {
        const unsigned char c = s_[i_];
        if (c == '"') {
            bool escaped = false;
            return string(escaped);
        }
        if (c == '-' || is_digit(c)) return number();
        if (c == 't') return literal("true", 4);
        if (c == 'f') return literal("false", 5);
        if (c == 'n') return literal("null", 4);
        return false;
    }

    bool literal(const char* word, std::size_t len) {
        if (n_ - i_ < len || std::memcmp(s_ + i_, word, len) != 0) return false;
        i_ += len;
        return true;
    }

    // RFC 8259: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number() {
        if (s_[i_] == '-') ++i_;
        if (i_ >= n_ || !is_digit(s_[i_])) return false;
        if (s_[i_++] != '0')
            while (i_ < n_ && is_digit(s_[i_])) ++i_;
        if (i_ < n_ && s_[i_] == '.') {
            ++i_;
            if (i_ >= n_ || !is_digit(s_[i_])) return false;
            while (i_ < n_ && is_digit(s_[i_])) ++i_;
        }
        if (i_ < n_ && (s_[i_] | 0x20) == 'e') {
            ++i_;
            if (i_ < n_ && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (i_ >= n_ || !is_digit(s_[i_])) return false;
            while (i_ < n_ && is_digit(s_[i_])) ++i_;
        }
        return true;
    }

    // A string from its opening quote to past its closing one: valid UTF-8,
    // no control byte, only JSON's escapes, surrogate escapes only in pairs.
    bool string(bool& escaped) {
        ++i_;
        for (;;) {
#ifdef __SSE2__
            // Sixteen bytes at a time while none is a quote, a backslash, a
            // control byte or above ASCII (the last two: below 0x20 as signed).
            const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), low = _mm_set1_epi8(0x20);
            // Short runs (prose with accents and escapes) stay on the byte loop.
            const std::size_t byte_loop_end = n_ - i_ > 16 ? i_ + 16 : n_;
            while (i_ < byte_loop_end && kStringClass[s_[i_]] == kPlain) ++i_;
            while (i_ == byte_loop_end && n_ - i_ >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + i_));
                const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                                  _mm_cmplt_epi8(v, low));
                const int mask = _mm_movemask_epi8(stop);
                if (mask) {
                    i_ += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
                    break;
                }
                i_ += 16;
            }
#endif
            while (i_ < n_ && kStringClass[s_[i_]] == kPlain) ++i_;
            if (i_ >= n_) return false;
            switch (kStringClass[s_[i_]]) {
                case kQuote:
                    ++i_;
                    return true;
                case kBackslash:
                    escaped = true;
                    if (!escape()) return false;
                    break;
                case kHigh:
                    if (!utf8()) return false;
                    break;
                default:
                    return false;
            }
        }
    }

    // Four hex digits at i_, or -1.
    int hex4() const {
        if (n_ - i_ < 4) return -1;
        int v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const int h = hex_value(s_[i_ + j]);
            if (h < 0) return -1;
            v = v * 16 + h;
        }
        return v;
    }

    bool escape() {
        ++i_;
        if (i_ >= n_) return false;
        const unsigned char e = s_[i_++];
        if (e != 'u') return std::strchr("\"\\/bfnrt", e) != nullptr && e != 0;
        const int cp = hex4();
        if (cp < 0) return false;
        i_ += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp < 0xD800 || cp > 0xDBFF) return true;
        if (n_ - i_ < 2 || s_[i_] != '\\' || s_[i_ + 1] != 'u') return false;
        i_ += 2;
        const int low = hex4();
        if (low < 0xDC00 || low > 0xDFFF) return false;
        i_ += 4;
        return true;
    }

    // One UTF-8 sequence from a byte >= 0x80: shortest form, no surrogates,
    // nothing past U+10FFFF.
    bool utf8() {
        const unsigned char c = s_[i_];
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n_ - i_ < len) return false;
        if (s_[i_ + 1] < lo || s_[i_ + 1] > hi) return false;
        for (std::size_t j = 2; j < len; ++j)
            if ((s_[i_ + j] & 0xC0) != 0x80) return false;
        i_ += len;
        return true;
    }

    const unsigned char* s_;
    std::size_t n_;
    std::size_t i_ = 0;
    std::size_t limit_;
    Found& out_;
    std::vector<Frame> stack_;
};

}  // namespace

Outcome scan(const unsigned char* body, std::size_t size, std::size_t depth_limit, Found& out) {
    if (size >= kMaxBody) return Outcome::kRefused;
    return Scanner(body, size, depth_limit, out).run();
}

}  // namespace bodyscan
