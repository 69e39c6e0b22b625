// Path parsing and normalisation: parse_path, PurePath::str, join_relative,
// expand_user, is_within, final_component, suffix_of, parent_of, and the
// lexical part of resolve, over paths inside an empty private folder, where
// no component exists and resolution is normalisation alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "check.h"
#include "pagecase/core/paths.h"
#include "scratch.h"

namespace {

using tw::pagecase::parse_path;
using tw::pagecase::PurePath;

std::string empty_folder; // resolved; the current directory while resolving

bool same(const PurePath& a, const PurePath& b) {
    return a.root == b.root && a.parts == b.parts;
}

// The pieces between slashes, empty ones and "." left out.
std::vector<std::string> pieces(std::string_view text) {
    std::vector<std::string> out;
    std::string piece;
    for (char c : text) {
        if (c != '/') {
            piece += c;
            continue;
        }
        if (!piece.empty() && piece != ".") out.push_back(piece);
        piece.clear();
    }
    if (!piece.empty() && piece != ".") out.push_back(piece);
    return out;
}

bool is_normalised(const std::string& text) {
    return parse_path(text).str() == text;
}

void check_parsed(std::string_view text, const PurePath& path) {
    size_t slashes = 0;
    while (slashes < text.size() && text[slashes] == '/')
        ++slashes;
    TW_FUZZ_CHECK(path.root == (slashes == 0 ? "" : slashes == 2 ? "//" : "/"));
    TW_FUZZ_CHECK(path.parts == pieces(text));
    const std::string text_again = path.str();
    TW_FUZZ_CHECK(same(parse_path(text_again), path));
    TW_FUZZ_CHECK((text_again == ".") == (path.root.empty() && path.parts.empty()));
}

void check_join(const PurePath& base, PurePath relative) {
    relative.root.clear();
    const PurePath joined = join_relative(base, relative);
    TW_FUZZ_CHECK(joined.root == base.root);
    std::vector<std::string> parts = base.parts;
    parts.insert(parts.end(), relative.parts.begin(), relative.parts.end());
    TW_FUZZ_CHECK(joined.parts == parts);
    if (!base.parts.empty() || base.root.empty()) // "/" + "/x" would read as "//x"
        TW_FUZZ_CHECK(same(parse_path(base.str() + "/" + relative.str()), joined));
}

void check_expand_user(const PurePath& path) {
    PurePath expanded = path;
    const int error = expand_user(expanded);
    const bool tilde = !path.is_absolute() && !path.parts.empty() && path.parts[0][0] == '~';
    if (!tilde) {
        TW_FUZZ_CHECK(error == 0 && same(expanded, path));
        return;
    }
    if (path.parts[0] == "~") { // HOME is set below
        TW_FUZZ_CHECK(error == 0 && expanded.root == "/");
        std::vector<std::string> parts = {"home", "fuzz"};
        parts.insert(parts.end(), path.parts.begin() + 1, path.parts.end());
        TW_FUZZ_CHECK(expanded.parts == parts);
    } else {
        TW_FUZZ_CHECK(error == ENOENT || expanded.is_absolute());
    }
}

void check_components(const PurePath& path, const PurePath& other) {
    const std::string text = path.str();
    TW_FUZZ_CHECK(tw::pagecase::final_component(text) ==
                  (path.parts.empty() ? "" : path.parts.back()));
    PurePath parent = path;
    if (!parent.parts.empty()) parent.parts.pop_back();
    const std::string parent_text = tw::pagecase::parent_of(text);
    TW_FUZZ_CHECK(parent_text == parent.str() && is_normalised(parent_text));
    TW_FUZZ_CHECK(tw::pagecase::is_within(text, text));
    TW_FUZZ_CHECK(tw::pagecase::is_within(text, parent_text));

    bool prefix = other.root == path.root && other.parts.size() <= path.parts.size();
    for (size_t k = 0; prefix && k < other.parts.size(); ++k)
        prefix = other.parts[k] == path.parts[k];
    TW_FUZZ_CHECK(tw::pagecase::is_within(text, other.str()) == prefix);
}

// pathlib's suffix: from the last dot on, when that dot neither leads nor ends the name.
std::string_view reference_suffix(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
    return name.substr(dot);
}

// `text` below the empty folder, given absolutely and relatively: no
// component exists, so the result is the lexical normalisation, as long as
// ".." never leaves the folder (beyond it, links of the real system count).
void check_lexical_resolution(std::string text) {
    for (char& c : text)
        if (c == '\0') c = 'x'; // the bindings refuse NUL before resolving
    std::vector<std::string> stack = pieces(empty_folder);
    const size_t floor = stack.size();
    bool left = false;
    for (const std::string& piece : pieces(text)) {
        if (piece != "..")
            stack.push_back(piece);
        else if (stack.size() > floor)
            stack.pop_back();
        else
            left = true;
    }
    std::string expected;
    for (const std::string& part : stack)
        expected += "/" + part;

    const tw::fuzz::WorkingDirectory in_folder(empty_folder);
    const std::string absolute = empty_folder + "/" + text;
    const bool relative_too = text.empty() || text[0] != '/';
    for (const std::string& query : {absolute, relative_too ? text : absolute}) {
        tw::pagecase::Resolution resolved;
        if (tw::pagecase::resolve(query, resolved) != 0) {
            TW_FUZZ_CHECK(left); // only the real system can hold loops or unreadable links
            continue;
        }
        const std::string& path = resolved.path;
        TW_FUZZ_CHECK(path.size() >= 1 && path[0] == '/' && path.compare(0, 2, "//") != 0);
        TW_FUZZ_CHECK(is_normalised(path));
        for (const std::string& part : parse_path(path).parts)
            TW_FUZZ_CHECK(part != "..");
        if (!left) TW_FUZZ_CHECK(resolved.complete && path == expected);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    tw::fuzz::keep_findings_here(argc, argv);
    empty_folder = tw::fuzz::make_scratch_folder("paths");
    ::setenv("HOME", "/home/fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string first = input.ConsumeRandomLengthString(512);
    const std::string second = input.ConsumeRandomLengthString(512);

    const PurePath path = parse_path(first);
    const PurePath other = parse_path(second);
    check_parsed(first, path);
    check_parsed(second, other);
    check_join(path, other);
    check_expand_user(path);
    check_components(path, other);
    check_components(join_relative(path, parse_path("x")), path);
    for (std::string_view name : {std::string_view(first), tw::pagecase::final_component(first)})
        TW_FUZZ_CHECK(tw::pagecase::suffix_of(name) == reference_suffix(name));
    check_lexical_resolution(first);
    return 0;
}
