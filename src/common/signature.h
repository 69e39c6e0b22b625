// The `inspect.Signature` of an exported callable, read from the signature
// text it was declared with (`nb::sig("def name(a: int, *, b: str = 'x') ->
// bool")`), the same text the stubs are generated from, so `help()`,
// `inspect.signature()`, IPython and an editor all show one signature.
// Annotations stay text, as `from __future__ import annotations` leaves them;
// defaults are the objects their text names: literals, and dotted names of
// importable objects (`pathlib.Path.is_file`).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"

namespace tw::py {

namespace detail {

// `text` cut at its top-level occurrences of `separator`: outside brackets
// and quotes.
inline std::vector<std::string_view> split_top_level(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t k = 0; k < text.size(); ++k) {
        char c = text[k];
        if (quote) {
            if (c == '\\')
                ++k;
            else if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == separator && depth == 0) {
            parts.push_back(text.substr(start, k - start));
            start = k + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

inline std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The first top-level `=` of a parameter, which starts its default.
inline std::size_t default_position(std::string_view parameter) {
    std::size_t offset = 0;
    for (std::string_view part : split_top_level(parameter, '=')) {
        offset += part.size();
        if (offset < parameter.size()) return offset;
    }
    return std::string_view::npos;
}

// The object a default's text names.
inline nb::object default_value(std::string_view text) {
    if (text == "None") return nb::none();
    if (text == "True") return nb::bool_(true);
    if (text == "False") return nb::bool_(false);
    if (text == "...") return nb::ellipsis();
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
        text.back() == text.front()) {
        std::string value;
        for (std::size_t k = 1; k + 1 < text.size(); ++k) {
            if (text[k] == '\\' && k + 2 < text.size()) ++k;
            value.push_back(text[k]);
        }
        return nb::str(value.c_str(), value.size());
    }
    std::string copy(text);
    if (!copy.empty() && (copy[0] == '-' || (copy[0] >= '0' && copy[0] <= '9'))) {
        bool is_float = copy.find_first_of(".eE") != std::string::npos;
        nb::str number(copy.c_str());
        return is_float ? steal_checked(PyFloat_FromString(number.ptr()))
                        : steal_checked(PyLong_FromUnicodeObject(number.ptr(), 10));
    }
    // A dotted name: the module its first part names, then attributes.
    std::vector<std::string_view> parts = split_top_level(text, '.');
    nb::object value = nb::module_::import_(std::string(parts[0]).c_str());
    for (std::size_t k = 1; k < parts.size(); ++k)
        value = value.attr(std::string(parts[k]).c_str());
    return value;
}

} // namespace detail

// The signature `def name(...) -> result` describes.
inline nb::object signature_from_text(std::string_view declaration) {
    using detail::trimmed;
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object Parameter = inspect.attr("Parameter"), Signature = inspect.attr("Signature");
    std::size_t open = declaration.find('(');
    std::size_t arrow = declaration.rfind(") -> ");
    std::size_t close = arrow != std::string_view::npos ? arrow : declaration.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        raise(PyExc_ValueError, "not a function declaration");
    std::string_view inside = declaration.substr(open + 1, close - open - 1);

    nb::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::list parameters;
    if (!trimmed(inside).empty()) {
        for (std::string_view item : detail::split_top_level(inside, ',')) {
            std::string_view parameter = trimmed(item);
            if (parameter == "/") {
                // What came before is positional-only.
                nb::list positional;
                for (nb::handle earlier : parameters)
                    positional.append(earlier.attr("replace")(
                        nb::arg("kind") = Parameter.attr("POSITIONAL_ONLY")));
                parameters = positional;
                continue;
            }
            if (parameter == "*") {
                kind = Parameter.attr("KEYWORD_ONLY");
                continue;
            }
            nb::object this_kind = kind;
            if (parameter.substr(0, 2) == "**") {
                this_kind = Parameter.attr("VAR_KEYWORD");
                parameter.remove_prefix(2);
            } else if (parameter.substr(0, 1) == "*") {
                this_kind = Parameter.attr("VAR_POSITIONAL");
                kind = Parameter.attr("KEYWORD_ONLY");
                parameter.remove_prefix(1);
            }
            nb::kwargs options;
            std::size_t equals = detail::default_position(parameter);
            if (equals != std::string_view::npos) {
                options["default"] = detail::default_value(trimmed(parameter.substr(equals + 1)));
                parameter = trimmed(parameter.substr(0, equals));
            }
            std::size_t colon = parameter.find(':');
            if (colon != std::string_view::npos) {
                std::string annotation(trimmed(parameter.substr(colon + 1)));
                options["annotation"] = nb::str(annotation.c_str(), annotation.size());
                parameter = trimmed(parameter.substr(0, colon));
            }
            std::string name(parameter);
            parameters.append(Parameter(nb::str(name.c_str(), name.size()), this_kind, **options));
        }
    }
    nb::kwargs options;
    if (arrow != std::string_view::npos) {
        std::string result(trimmed(declaration.substr(arrow + 5)));
        options["return_annotation"] = nb::str(result.c_str(), result.size());
    }
    return Signature(parameters, **options);
}

} // namespace tw::py
