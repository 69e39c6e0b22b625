// The text of a list file from a small value model: what
// `json.dumps(value, ensure_ascii=False, indent=2)` renders, encoded as
// UTF-8. Strings are code points, so a lone surrogate (which UTF-8 cannot
// carry) is written as the escape \uXXXX, which loads back as the same code
// point. Numbers arrive as text already rendered by the interpreter. No
// Python headers.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tw::pagecase {

struct JsonValue {
    enum class Kind : unsigned char { null, boolean, number, string, array, object };

    Kind kind = Kind::null;
    bool boolean = false;
    std::string number;               // written as it is: "1", "2.5", "NaN", "-Infinity"
    std::u32string string;            // code points up to 0x10FFFF
    std::vector<JsonValue> items;     // an array's elements, or an object's member values
    std::vector<std::u32string> keys; // an object's member names, one per item, in order
};

// The rendered text, or nothing when a string or member name holds a high
// surrogate directly followed by a low one: every JSON reader takes that pair
// of escapes for one character, so the text would not load back as written.
// Rendering recurses once per level of nesting, which the caller bounds.
std::optional<std::string> render_json(const JsonValue& value);

} // namespace tw::pagecase
