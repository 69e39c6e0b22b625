// The harness of the native tests (harness.h) and the program's entry point:
//
//   tidewing_native_tests <shared test data folder>
//
// Exits 0 when every case passed or was skipped.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>

namespace native_tests {
namespace {

struct Registered {
    const char* name;
    Case run;
};

std::vector<Registered>& registry() {
    static std::vector<Registered> cases;
    return cases;
}

struct Skipped {
    std::string why;
};

std::string data_folder;
const char* running = "";
int failures_in_case = 0;

} // namespace

Registration::Registration(const char* name, Case run) {
    registry().push_back({name, run});
}

void fail(const char* file, int line, const std::string& what) {
    ++failures_in_case;
    std::printf("FAILED %s (%s:%d): %s\n", running, file, line, what.c_str());
}

void skip(const std::string& why) {
    throw Skipped{why};
}

std::vector<std::uint8_t> from_hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) continue;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return bytes;
}

std::string to_hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t k = 0; k < size; ++k) {
        text.push_back(digits[data[k] >> 4]);
        text.push_back(digits[data[k] & 15]);
    }
    return text;
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string shared_file(const std::string& relative) {
    const std::string path = data_folder + "/" + relative;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const char* ci = std::getenv("CI");
        if (ci && *ci) {
            fail(__FILE__, __LINE__,
                 path + " is missing: CI is set, and the shared vectors are required");
            throw Skipped{"missing under CI"}; // ends the case, counted as failed
        }
        skip(path + " is not in the shared test vectors here");
    }
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

} // namespace native_tests

int main(int argc, char** argv) {
    using namespace native_tests;
    if (argc > 1) data_folder = argv[1];
    int passed = 0, failed = 0, skipped = 0;
    for (const Registered& test : registry()) {
        running = test.name;
        failures_in_case = 0;
        try {
            test.run();
        } catch (const Skipped& skip) {
            if (!failures_in_case) {
                ++skipped;
                std::printf("SKIPPED %s: %s\n", test.name, skip.why.c_str());
                continue;
            }
        } catch (const std::exception& error) {
            fail(__FILE__, __LINE__, std::string("exception: ") + error.what());
        }
        (failures_in_case ? failed : passed) += 1;
    }
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed ? 1 : 0;
}
