// The text of a list file; see json_render.h.
#include "pagecase/core/json_render.h"

namespace tw::pagecase {
namespace {

constexpr std::size_t kIndentWidth = 2;

constexpr bool is_high_surrogate(char32_t ch) {
    return ch >= 0xD800 && ch <= 0xDBFF;
}

constexpr bool is_surrogate(char32_t ch) {
    return ch >= 0xD800 && ch <= 0xDFFF;
}

void append_escape(std::string& out, char32_t ch) {
    static const char digits[] = "0123456789abcdef";
    const char escape[] = {'\\',
                           'u',
                           digits[(ch >> 12) & 15],
                           digits[(ch >> 8) & 15],
                           digits[(ch >> 4) & 15],
                           digits[ch & 15]};
    out.append(escape, sizeof escape);
}

void append_utf8(std::string& out, char32_t ch) {
    if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (ch & 0x3F));
}

class Renderer {
  public:
    std::string out;

    // False when a string cannot be written so that it loads back unchanged.
    bool value(const JsonValue& value, std::size_t level) {
        switch (value.kind) {
        case JsonValue::Kind::null:
            out += "null";
            return true;
        case JsonValue::Kind::boolean:
            out += value.boolean ? "true" : "false";
            return true;
        case JsonValue::Kind::number:
            out += value.number;
            return true;
        case JsonValue::Kind::string:
            return literal(value.string);
        case JsonValue::Kind::array:
            return array(value, level);
        case JsonValue::Kind::object:
            return object(value, level);
        }
        return false;
    }

  private:
    // json's encode_basestring: the quote, the backslash and control
    // characters escaped, everything else as itself.
    bool literal(const std::u32string& text) {
        out += '"';
        char32_t previous = 0;
        for (char32_t ch : text) {
            if (is_high_surrogate(previous) && is_surrogate(ch) && !is_high_surrogate(ch))
                return false;
            previous = ch;
            switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (ch < 0x20 || is_surrogate(ch))
                    append_escape(out, ch);
                else if (ch < 0x80)
                    out += static_cast<char>(ch);
                else
                    append_utf8(out, ch);
            }
        }
        out += '"';
        return true;
    }

    bool array(const JsonValue& value, std::size_t level) {
        if (value.items.empty()) {
            out += "[]";
            return true;
        }
        out += '[';
        for (std::size_t k = 0; k < value.items.size(); ++k) {
            if (k > 0) out += ',';
            newline(level + 1);
            if (!this->value(value.items[k], level + 1)) return false;
        }
        newline(level);
        out += ']';
        return true;
    }

    bool object(const JsonValue& value, std::size_t level) {
        if (value.items.empty()) {
            out += "{}";
            return true;
        }
        out += '{';
        for (std::size_t k = 0; k < value.items.size(); ++k) {
            if (k > 0) out += ',';
            newline(level + 1);
            if (!literal(value.keys[k])) return false;
            out += ": ";
            if (!this->value(value.items[k], level + 1)) return false;
        }
        newline(level);
        out += '}';
        return true;
    }

    void newline(std::size_t level) {
        out += '\n';
        out.append(level * kIndentWidth, ' ');
    }
};

} // namespace

std::optional<std::string> render_json(const JsonValue& value) {
    Renderer renderer;
    if (!renderer.value(value, 0)) return std::nullopt;
    return std::move(renderer.out);
}

} // namespace tw::pagecase
