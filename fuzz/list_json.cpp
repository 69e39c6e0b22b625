// The text of list files: value trees generated from the input are rendered,
// and the text must parse as JSON, in exactly the layout of
// json.dumps(indent=2) (a strict parser below), back to the same tree. A
// string holding a high surrogate directly followed by a low one must be
// refused, since its two escapes would read back as one character.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>

#include "check.h"
#include "pagecase/core/json_render.h"

namespace {

using tw::pagecase::JsonValue;
using Kind = JsonValue::Kind;

constexpr int kMaxDepth = 6;
constexpr size_t kMaxItems = 5;

bool is_high(char32_t ch) {
    return ch >= 0xD800 && ch <= 0xDBFF;
}

bool is_low(char32_t ch) {
    return ch >= 0xDC00 && ch <= 0xDFFF;
}

// ------------------------------------------------------------- generation

char32_t code_point(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return input.ConsumeIntegralInRange<char32_t>(0x20, 0x7F);
    case 1:
        return input.ConsumeIntegralInRange<char32_t>(0, 0x1F);
    case 2:
        return input.PickValueInArray({U'"', U'\\', U'/', U'\x7f'});
    case 3:
        return input.ConsumeIntegralInRange<char32_t>(0x80, 0x7FF);
    case 4:
        return input.ConsumeIntegralInRange<char32_t>(0x800, 0xFFFF); // surrogates too
    case 5:
        return input.ConsumeIntegralInRange<char32_t>(0xD800, 0xDFFF);
    case 6:
        return input.ConsumeIntegralInRange<char32_t>(0x10000, 0x10FFFF);
    default:
        return input.ConsumeIntegralInRange<char32_t>(U'a', U'z');
    }
}

std::u32string text(FuzzedDataProvider& input) {
    std::u32string out(input.ConsumeIntegralInRange<size_t>(0, 12), U' ');
    for (char32_t& ch : out)
        ch = code_point(input);
    return out;
}

std::string digits(FuzzedDataProvider& input, bool leading_zero_allowed) {
    std::string out(input.ConsumeIntegralInRange<size_t>(1, 6), '0');
    for (char& c : out)
        c = static_cast<char>('0' + input.ConsumeIntegralInRange(0, 9));
    if (!leading_zero_allowed && out.size() > 1 && out[0] == '0') out[0] = '1';
    return out;
}

// JSON's number grammar, and the three words json.dumps writes for floats.
std::string number(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return "NaN";
    case 1:
        return input.ConsumeBool() ? "Infinity" : "-Infinity";
    default: {
        std::string out = input.ConsumeBool() ? "-" : "";
        out += digits(input, false);
        if (input.ConsumeBool()) out += "." + digits(input, true);
        if (input.ConsumeBool()) {
            out += input.PickValueInArray({"e", "e+", "e-", "E"});
            out += digits(input, true);
        }
        return out;
    }
    }
}

JsonValue generate(FuzzedDataProvider& input, int depth) {
    JsonValue value;
    value.kind = static_cast<Kind>(input.ConsumeIntegralInRange(0, depth < kMaxDepth ? 5 : 3));
    switch (value.kind) {
    case Kind::null:
        break;
    case Kind::boolean:
        value.boolean = input.ConsumeBool();
        break;
    case Kind::number:
        value.number = number(input);
        break;
    case Kind::string:
        value.string = text(input);
        break;
    case Kind::object:
    case Kind::array: {
        const size_t count = input.ConsumeIntegralInRange<size_t>(0, kMaxItems);
        for (size_t k = 0; k < count; ++k) {
            if (value.kind == Kind::object) value.keys.push_back(text(input));
            value.items.push_back(generate(input, depth + 1));
        }
        break;
    }
    }
    return value;
}

bool has_split_pair(const std::u32string& s) {
    for (size_t k = 0; k + 1 < s.size(); ++k)
        if (is_high(s[k]) && is_low(s[k + 1])) return true;
    return false;
}

bool has_split_pair(const JsonValue& value) {
    if (has_split_pair(value.string)) return true;
    for (const std::u32string& key : value.keys)
        if (has_split_pair(key)) return true;
    for (const JsonValue& item : value.items)
        if (has_split_pair(item)) return true;
    return false;
}

bool same(const JsonValue& a, const JsonValue& b) {
    if (a.kind != b.kind || a.boolean != b.boolean || a.number != b.number ||
        a.string != b.string || a.keys != b.keys || a.items.size() != b.items.size())
        return false;
    for (size_t k = 0; k < a.items.size(); ++k)
        if (!same(a.items[k], b.items[k])) return false;
    return true;
}

// ---------------------------------------------------------------- parsing

// JSON as json.dumps(value, ensure_ascii=False, indent=2) lays it out, read
// the way json.loads reads it (a pair of surrogate escapes is one character).
// Anything else is a failure: other whitespace, escapes json never writes,
// text that is not UTF-8.
class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool document(JsonValue& out) { return value(out, 0) && at_ == text_.size(); }

  private:
    bool value(JsonValue& out, size_t level) {
        if (take("null")) return out.kind = Kind::null, true;
        if (take("true")) return out.kind = Kind::boolean, out.boolean = true, true;
        if (take("false")) return out.kind = Kind::boolean, out.boolean = false, true;
        if (peek() == '"') return out.kind = Kind::string, string(out.string);
        if (take("[")) return out.kind = Kind::array, members(out, level, ']');
        if (take("{")) return out.kind = Kind::object, members(out, level, '}');
        return out.kind = Kind::number, number(out.number);
    }

    bool members(JsonValue& out, size_t level, char close) {
        if (take(std::string(1, close))) return true;
        do {
            if (!newline(level + 1)) return false;
            if (close == '}') {
                out.keys.emplace_back();
                if (!string(out.keys.back()) || !take(": ")) return false;
            }
            if (!value(out.items.emplace_back(), level + 1)) return false;
        } while (take(","));
        return newline(level) && take(std::string(1, close));
    }

    bool newline(size_t level) { return take("\n" + std::string(2 * level, ' ')); }

    bool number(std::string& out) {
        const size_t start = at_;
        if (take("NaN")) return out = "NaN", true;
        take("-");
        if (take("Infinity")) return out = text_.substr(start, at_ - start), true;
        if (take("0")) {
            if (digit()) return false;
        } else if (!digits()) {
            return false;
        }
        if (take(".") && !digits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (!take("+")) take("-");
            if (!digits()) return false;
        }
        out = text_.substr(start, at_ - start);
        return true;
    }

    bool digit() const { return peek() >= '0' && peek() <= '9'; }

    bool digits() {
        const size_t start = at_;
        while (digit())
            ++at_;
        return at_ > start;
    }

    bool string(std::u32string& out) {
        if (!take("\"")) return false;
        for (;;) {
            if (at_ >= text_.size()) return false;
            const auto byte = static_cast<unsigned char>(text_[at_]);
            if (byte == '"') {
                ++at_;
                return true;
            }
            char32_t ch;
            if (byte == '\\') {
                if (!escape(ch)) return false;
                if (is_high(ch) && text_.compare(at_, 2, "\\u") == 0) {
                    const size_t mark = at_;
                    char32_t low;
                    if (!escape(low)) return false;
                    if (is_low(low))
                        ch = 0x10000 + ((ch - 0xD800) << 10) + (low - 0xDC00);
                    else
                        at_ = mark; // read again on its own
                }
            } else if (byte < 0x20 || !utf8(ch)) {
                return false;
            }
            out += ch;
        }
    }

    // One escape as json writes it: the short forms, and \u with lower-case
    // digits for the other control characters and for surrogates.
    bool escape(char32_t& ch) {
        ++at_;
        const char kind = peek();
        ++at_;
        static const char shorts[] = "\"\\bfnrt";
        static const char32_t meanings[] = {U'"', U'\\', U'\b', U'\f', U'\n', U'\r', U'\t'};
        for (size_t k = 0; k < 7; ++k)
            if (kind == shorts[k]) return ch = meanings[k], true;
        if (kind != 'u' || at_ + 4 > text_.size()) return false;
        ch = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text_[at_++];
            if (c >= '0' && c <= '9')
                ch = ch * 16 + static_cast<char32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                ch = ch * 16 + static_cast<char32_t>(c - 'a' + 10);
            else
                return false;
        }
        const bool has_short_form =
            ch == '\b' || ch == '\f' || ch == '\n' || ch == '\r' || ch == '\t';
        return (ch < 0x20 && !has_short_form) || (ch >= 0xD800 && ch <= 0xDFFF);
    }

    // One UTF-8 sequence, strictly: shortest form, no surrogates, at most 0x10FFFF.
    bool utf8(char32_t& ch) {
        const auto lead = static_cast<unsigned char>(text_[at_]);
        size_t length;
        char32_t minimum;
        if (lead < 0x80) return ++at_, ch = lead, true;
        if ((lead & 0xE0) == 0xC0)
            length = 2, minimum = 0x80, ch = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0)
            length = 3, minimum = 0x800, ch = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0)
            length = 4, minimum = 0x10000, ch = lead & 0x07;
        else
            return false;
        if (at_ + length > text_.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text_[at_ + k]);
            if ((next & 0xC0) != 0x80) return false;
            ch = (ch << 6) | (next & 0x3F);
        }
        at_ += length;
        return ch >= minimum && ch <= 0x10FFFF && !(ch >= 0xD800 && ch <= 0xDFFF);
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

    bool take(const std::string& expected) {
        if (text_.compare(at_, expected.size(), expected) != 0) return false;
        at_ += expected.size();
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const JsonValue tree = generate(input, 0);
    const std::optional<std::string> text = tw::pagecase::render_json(tree);
    TW_FUZZ_CHECK(text.has_value() != has_split_pair(tree));
    if (!text) return 0;
    JsonValue parsed;
    TW_FUZZ_CHECK(Parser(*text).document(parsed));
    TW_FUZZ_CHECK(same(parsed, tree));
    return 0;
}
