// URL-safe base64: the scalar code, which handles every size, and the choice
// of the vector kernels for the bulk of long inputs.
//
// Characters and 6-bit values convert by arithmetic on masks made from the
// sign of small differences, never by table lookup, so the time taken does
// not depend on the data.
#include "tw_lattice/core/base64.h"

#include <algorithm>
#include <cstdint>

#include "tw_lattice/core/base64_paths.h"
#include "tw_lattice/core/c_exports.h"
#include "tw_lattice/core/work_steps.h"

namespace tw::lattice::base64 {
namespace {

constexpr size_t kStepGroups = 8, kStepBytes = 24, kStepCharacters = 32;
// Groups between two questions whether to stop (work_steps.h): whole vector
// steps.
constexpr size_t kWorkStepGroups = kWorkStepBytes / 3 / kStepGroups * kStepGroups;

bool vectors() {
    static const bool available = avx2::available();
    return available;
}

// All ones when low <= c <= high, else zero (c, low and high below 256).
inline int32_t within(int32_t c, int32_t low, int32_t high) {
    return ((low - 1 - c) & (c - high - 1)) >> 8;
}

// The URL-safe character of a 6-bit value: 'A' + v, shifted at each boundary
// of the alphabet's runs.
inline char symbol(uint32_t value) {
    const int32_t v = static_cast<int32_t>(value);
    int32_t c = v + 'A';
    c += ((25 - v) >> 8) & ('a' - 26 - 'A');
    c += ((51 - v) >> 8) & ('0' - 52 - ('a' - 26));
    c += ((61 - v) >> 8) & ('-' - 62 - ('0' - 52));
    c += ((62 - v) >> 8) & ('_' - 63 - ('-' - 62));
    return static_cast<char>(c);
}

// The 6-bit value of a character of either alphabet, or -1.
inline int32_t value_of(char character) {
    const int32_t c = static_cast<uint8_t>(character);
    int32_t v = -1;
    v += within(c, 'A', 'Z') & (c - 'A' + 1);
    v += within(c, 'a', 'z') & (c - 'a' + 26 + 1);
    v += within(c, '0', '9') & (c - '0' + 52 + 1);
    v += (within(c, '-', '-') | within(c, '+', '+')) & (62 + 1);
    v += (within(c, '_', '_') | within(c, '/', '/')) & (63 + 1);
    return v;
}

inline void encode_group(const uint8_t* in, char* out) {
    const uint32_t bits = uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2];
    out[0] = symbol(bits >> 18);
    out[1] = symbol((bits >> 12) & 63);
    out[2] = symbol((bits >> 6) & 63);
    out[3] = symbol(bits & 63);
}

// How many vector steps encode_groups may take: each writes 8 characters more
// than it reads, so when the input lies ahead in the same buffer, the steps
// stop while the text is still at least that far behind.
size_t safe_encode_steps(const uint8_t* in, size_t groups, const char* out) {
    const size_t steps = groups / kStepGroups;
    const auto input = reinterpret_cast<uintptr_t>(in), text = reinterpret_cast<uintptr_t>(out);
    const bool shared = input >= text && input < text + 4 * groups;
    if (!shared) return steps;
    const size_t lead = input - text; // the text never overtakes: lead >= groups so far
    return std::min(steps, lead / (kStepCharacters - kStepBytes));
}

} // namespace

const char* implementation() {
    return vectors() ? "avx2" : "scalar";
}

void encode_groups(const uint8_t* in, size_t groups, char* out) {
    size_t done = 0;
    if (vectors()) {
        const size_t steps = safe_encode_steps(in, groups, out);
        avx2::encode_steps(in, out, steps);
        done = steps * kStepGroups;
    }
    for (; done < groups; ++done)
        encode_group(in + 3 * done, out + 4 * done);
}

void encode_tail(const uint8_t* in, size_t size, char* out) {
    if (size == 0) return;
    const uint8_t padded[3] = {in[0], size > 1 ? in[1] : uint8_t(0), 0};
    encode_group(padded, out);
    out[3] = '=';
    if (size == 1) out[2] = '=';
}

bool encode(const uint8_t* in, size_t size, char* out) {
    const size_t groups = size / 3;
    for (size_t done = 0; done < groups; done += kWorkStepGroups) {
        if (!go_on(done)) return false;
        encode_groups(in + 3 * done, std::min(kWorkStepGroups, groups - done), out + 4 * done);
    }
    encode_tail(in + size - size % 3, size % 3, out + size / 3 * 4);
    return true;
}

std::optional<size_t> canonical_decoded_size(const char* text, size_t size) {
    if (size % 4 != 0) return std::nullopt;
    size_t padding = 0;
    if (size && text[size - 1] == '=') padding = text[size - 2] == '=' ? 2 : 1;
    if (padding == 2 && text[size - 3] == '=') return std::nullopt;
    return size / 4 * 3 - padding;
}

bool decode_quads(const char* text, size_t quads, uint8_t* out) {
    bool valid = true;
    size_t done = 0;
    if (vectors()) {
        const size_t steps = quads / kStepGroups;
        valid = avx2::decode_steps(text, out, steps);
        done = steps * kStepGroups;
    }
    int32_t invalid = 0;
    for (; done < quads; ++done) {
        const char* in = text + 4 * done;
        const int32_t a = value_of(in[0]), b = value_of(in[1]), c = value_of(in[2]),
                      d = value_of(in[3]);
        invalid |= a | b | c | d;
        const uint32_t bits = uint32_t(a & 63) << 18 | uint32_t(b & 63) << 12 |
                              uint32_t(c & 63) << 6 | uint32_t(d & 63);
        out[3 * done] = static_cast<uint8_t>(bits >> 16);
        out[3 * done + 1] = static_cast<uint8_t>(bits >> 8);
        out[3 * done + 2] = static_cast<uint8_t>(bits);
    }
    return valid && invalid >= 0;
}

bool decode(const char* text, size_t size, uint8_t* out) {
    const size_t padding = size && text[size - 1] == '=' ? (text[size - 2] == '=' ? 2 : 1) : 0;
    const size_t quads = size / 4 - (padding ? 1 : 0);
    for (size_t done = 0; done < quads; done += kWorkStepGroups) {
        if (!go_on(done)) return false;
        if (!decode_quads(text + 4 * done, std::min(kWorkStepGroups, quads - done), out + 3 * done))
            return false;
    }
    if (!padding) return true;
    // The last group: two or three characters give one or two bytes; the
    // bits left over are dropped, as the standard decoder drops them.
    const char* last = text + 4 * quads;
    const int32_t a = value_of(last[0]), b = value_of(last[1]);
    const int32_t c = padding == 1 ? value_of(last[2]) : 0;
    uint8_t* end = out + 3 * quads;
    end[0] = static_cast<uint8_t>((a & 63) << 2 | (b & 63) >> 4);
    if (padding == 1) end[1] = static_cast<uint8_t>((b & 15) << 4 | (c & 63) >> 2);
    return (a | b | c) >= 0;
}

} // namespace tw::lattice::base64

extern "C" {

size_t tw_lattice_urlsafe_b64encode(const uint8_t* data, size_t size, char* out) {
    tw::lattice::base64::encode(data, size, out);
    return tw::lattice::base64::encoded_size(size);
}

ptrdiff_t tw_lattice_urlsafe_b64decode(const char* text, size_t size, uint8_t* out) {
    const std::optional<size_t> decoded = tw::lattice::base64::canonical_decoded_size(text, size);
    if (!decoded || !tw::lattice::base64::decode(text, size, out)) return -1;
    return static_cast<ptrdiff_t>(*decoded);
}

} // extern "C"
