#include "ble/sim/json_syntax.hpp"

#include <cctype>

namespace sim {

namespace {

constexpr std::size_t maxDepth = 1024;  // as deep as the fast parser goes

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A recursive walk over the grammar that stops at the first error, remembering where it was.
class Walk {
public:
    explicit Walk(std::string_view text) : text_(text) {}

    std::optional<JsonSyntaxError> run() {
        if (!value(0)) return error();
        space();
        if (at_ == text_.size()) return std::nullopt;
        fail("text after the value");
        return error();
    }

private:
    bool value(std::size_t depth) {
        space();
        if (at_ == text_.size()) return fail("unexpected end of text");
        if (depth == maxDepth) return fail("nested deeper than 1024");
        switch (text_[at_]) {
            case '{': return object(depth + 1);
            case '[': return array(depth + 1);
            case '"': return string();
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return isDigit(text_[at_]) || text_[at_] == '-' ? number() : fail("expected a value");
        }
    }

    bool object(std::size_t depth) {
        ++at_;
        space();
        if (take('}')) return true;
        for (;;) {
            space();
            if (at_ == text_.size() || text_[at_] != '"') return fail("expected a key in double quotes");
            if (!string()) return false;
            space();
            if (!take(':')) return fail("expected ':'");
            if (!value(depth)) return false;
            space();
            if (take('}')) return true;
            if (!take(',')) return fail("expected ',' or '}'");
        }
    }

    bool array(std::size_t depth) {
        ++at_;
        space();
        if (take(']')) return true;
        for (;;) {
            if (!value(depth)) return false;
            space();
            if (take(']')) return true;
            if (!take(',')) return fail("expected ',' or ']'");
        }
    }

    bool string() {
        ++at_;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '"') return ++at_, true;
            if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
            if (c != '\\') {
                ++at_;
                continue;
            }
            ++at_;
            if (at_ == text_.size()) break;
            if (text_[at_] == 'u') {
                for (int i = 0; i < 4; ++i)
                    if (++at_ == text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_])))
                        return fail("expected four hexadecimal digits after \\u");
            } else if (std::string_view("\"\\/bfnrt").find(text_[at_]) == std::string_view::npos) {
                return fail("unknown escape in a string");
            }
            ++at_;
        }
        return fail("unterminated string");
    }

    bool number() {
        take('-');
        if (take('0')) {
            if (at_ < text_.size() && isDigit(text_[at_])) return fail("a number with a leading zero");
        } else if (!digits()) {
            return fail("expected a digit");
        }
        if (take('.') && !digits()) return fail("expected a digit");
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!digits()) return fail("expected a digit");
        }
        return true;
    }

    bool digits() {
        const std::size_t start = at_;
        while (at_ < text_.size() && isDigit(text_[at_])) ++at_;
        return at_ > start;
    }

    bool literal(std::string_view word) {
        for (char c : word) {
            if (!take(c)) return fail("expected true, false or null");
        }
        return true;
    }

    void space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool take(char c) {
        if (at_ == text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }

    bool fail(std::string what) {
        what_ = std::move(what);
        errorAt_ = at_;
        return false;
    }

    JsonSyntaxError error() const {
        JsonSyntaxError e{.what = what_};
        for (std::size_t i = 0; i < errorAt_; ++i) {
            const auto byte = static_cast<unsigned char>(text_[i]);
            if (byte == '\n') {
                ++e.line;
                e.column = 1;
            } else if ((byte & 0xC0) != 0x80) {  // a UTF-8 continuation byte is part of the character before it
                ++e.column;
            }
        }
        return e;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t errorAt_ = 0;
    std::string what_;
};

}  // namespace

std::optional<JsonSyntaxError> findJsonSyntaxError(std::string_view text) { return Walk(text).run(); }

}  // namespace sim
