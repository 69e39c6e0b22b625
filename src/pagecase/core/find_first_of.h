// The first code unit of a text that is one of a few values: the far search
// of the fuzzy score, where a query character may be written as any of its
// few upper- and lower-case sources. Sixteen bytes are compared at a time
// with the compiler's vector extensions (SSE2 on x86-64, NEON on arm64), and
// the search ends at its first hit, so a pass of searches reads each code
// unit about once.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tw::pagecase {

// At most this many values; a search for more goes code point by code point.
inline constexpr std::size_t kMaxScanValues = 6;

// What a search stops at: any of `values`, and with `from_limit` any code
// unit at or above `limit` (code points the tables leave to the interpreter).
struct ScanTargets {
    std::uint32_t values[kMaxScanValues];
    std::size_t count = 0;
    bool from_limit = false;
    std::uint32_t limit = 0;
};

namespace detail {

// Sixteen bytes of code units.
template <typename Char> struct Lanes;
template <> struct Lanes<std::uint8_t> {
    typedef std::uint8_t type __attribute__((vector_size(16)));
};
template <> struct Lanes<std::uint16_t> {
    typedef std::uint16_t type __attribute__((vector_size(16)));
};
template <> struct Lanes<std::uint32_t> {
    typedef std::uint32_t type __attribute__((vector_size(16)));
};

template <typename Char, std::size_t Count>
std::size_t find_first_of(const Char* text, std::size_t from, std::size_t length,
                          const ScanTargets& targets) {
    using Vector = typename Lanes<Char>::type;
    using Mask = decltype(Vector{} == Vector{});
    constexpr std::size_t kLanes = 16 / sizeof(Char);
    const bool by_limit = sizeof(Char) == 4 && targets.from_limit;
    auto scalar = [&](std::size_t k) {
        for (; k < length; ++k) {
            const std::uint32_t unit = text[k];
            if (by_limit && unit >= targets.limit) return k;
            for (std::size_t i = 0; i < Count; ++i)
                if (unit == targets.values[i]) return k;
        }
        return length;
    };
    if (length - from < kLanes) return scalar(from); // too short to set the vectors up for
    Vector wanted[Count > 0 ? Count : 1] = {};
    for (std::size_t i = 0; i < Count; ++i) // every lane the value
        wanted[i] += static_cast<Char>(targets.values[i]);
    const Vector limit = Vector{} + static_cast<Char>(by_limit ? targets.limit : 0);
    auto hits_at = [&](std::size_t at) {
        Vector units;
        std::memcpy(&units, text + at, sizeof units);
        Mask hits{};
        for (std::size_t i = 0; i < Count; ++i)
            hits |= units == wanted[i];
        if (by_limit) hits |= units >= limit;
        return hits;
    };
    // The first lane of `hits` that is set (all its bits are), or kLanes.
    auto first_lane = [](const Mask& hits) -> std::size_t {
        std::uint64_t halves[2];
        std::memcpy(halves, &hits, sizeof halves);
        if constexpr (std::endian::native == std::endian::little) {
            constexpr int kBits = 8 * sizeof(Char);
            if (halves[0]) return static_cast<std::size_t>(std::countr_zero(halves[0]) / kBits);
            if (halves[1])
                return kLanes / 2 + static_cast<std::size_t>(std::countr_zero(halves[1]) / kBits);
            return kLanes;
        } else {
            if (!(halves[0] | halves[1])) return kLanes;
            for (std::size_t lane = 0; lane < kLanes; ++lane)
                if (hits[lane]) return lane;
            return kLanes;
        }
    };
    std::size_t k = from;
    for (; k + 4 * kLanes <= length; k += 4 * kLanes) {
        const Mask parts[4] = {hits_at(k), hits_at(k + kLanes), hits_at(k + 2 * kLanes),
                               hits_at(k + 3 * kLanes)};
        std::uint64_t any[2];
        const Mask all = parts[0] | parts[1] | parts[2] | parts[3];
        std::memcpy(any, &all, sizeof any);
        if (!(any[0] | any[1])) continue;
        for (std::size_t part = 0; part < 4; ++part)
            if (const std::size_t lane = first_lane(parts[part]); lane < kLanes)
                return k + part * kLanes + lane;
    }
    for (; k + kLanes <= length; k += kLanes)
        if (const std::size_t lane = first_lane(hits_at(k)); lane < kLanes) return k + lane;
    return scalar(k);
}

} // namespace detail

// The first k >= from whose code unit is a target, or `length`. Values that
// `Char` cannot hold must have been left out.
template <typename Char>
std::size_t find_first_of(const Char* text, std::size_t from, std::size_t length,
                          const ScanTargets& targets) {
    switch (targets.count) {
    case 0:
        return detail::find_first_of<Char, 0>(text, from, length, targets);
    case 1:
        return detail::find_first_of<Char, 1>(text, from, length, targets);
    case 2:
        return detail::find_first_of<Char, 2>(text, from, length, targets);
    case 3:
        return detail::find_first_of<Char, 3>(text, from, length, targets);
    case 4:
        return detail::find_first_of<Char, 4>(text, from, length, targets);
    case 5:
        return detail::find_first_of<Char, 5>(text, from, length, targets);
    default:
        return detail::find_first_of<Char, 6>(text, from, length, targets);
    }
}

} // namespace tw::pagecase
