// A small harness for the native tests of the cores: cases register
// themselves, checks record failures with their place, and the run ends with
// one line "N passed, N failed, N skipped" (a case passes when none of its
// checks failed). No test framework: the program must build with any of our
// toolchains and run under wine as it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace native_tests {

using Case = void (*)();

struct Registration {
    Registration(const char* name, Case run);
};

// Records a failed check of the running case.
void fail(const char* file, int line, const std::string& what);

// Ends the running case as skipped (say why), unless a check failed already.
[[noreturn]] void skip(const std::string& why);

// Bytes from hexadecimal text; whitespace is ignored.
std::vector<std::uint8_t> from_hex(std::string_view text);
std::string to_hex(const std::uint8_t* data, std::size_t size);
inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    return to_hex(bytes.data(), bytes.size());
}
std::vector<std::uint8_t> bytes_of(std::string_view text);

// The content of a file of the shared third-party test vectors (the folder
// given on the command line). Without it the running case ends: skipped, or
// failed under CI (the environment variable CI set and not empty), where the
// vectors are required.
std::string shared_file(const std::string& relative);

} // namespace native_tests

#define NATIVE_TEST(name)                                                                          \
    static void name();                                                                            \
    static const native_tests::Registration name##_registration(#name, &name);                     \
    static void name()

#define CHECK(condition)                                                                           \
    ((condition) ? (void)0 : native_tests::fail(__FILE__, __LINE__, #condition))

// Equality of two values that print as text (strings, hex of bytes, numbers).
#define CHECK_EQ(actual, expected)                                                                 \
    do {                                                                                           \
        const auto& actual_value = (actual);                                                       \
        const auto& expected_value = (expected);                                                   \
        if (!(actual_value == expected_value))                                                     \
            native_tests::fail(__FILE__, __LINE__,                                                 \
                               std::string(#actual " == " #expected ": got ") +                    \
                                   native_tests::shown(actual_value) + ", expected " +             \
                                   native_tests::shown(expected_value));                           \
    } while (false)

namespace native_tests {
inline std::string shown(const std::string& text) {
    return '"' + text + '"';
}
inline std::string shown(const char* text) {
    return shown(std::string(text));
}
inline std::string shown(bool value) {
    return value ? "true" : "false";
}
template <typename Number> std::string shown(const Number& value) {
    return std::to_string(value);
}
template <typename Value> std::string shown(const std::optional<Value>& value) {
    return value ? shown(*value) : std::string("nothing");
}
} // namespace native_tests
