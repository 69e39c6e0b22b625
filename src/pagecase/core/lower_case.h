// Lower-casing one code point at a time, as tables, so that text can be
// lower-cased as it is read and only as far as a search needs. The binding
// builds one from the interpreter's own mapping (str_lower.cpp); no Python
// headers here. Read-only once built: any thread may use it.
//
// What is tabled: the simple mapping of every code point below kTableEnd,
// and which code points map to each value (for a search of a value that
// reads only the code points able to give it). Besides, a few code points
// have a form longer than one (expansions), and one code point may have a
// form that depends on its neighbours (the contextual one); code points from
// kTableEnd on are asked of the mapping each time they are met.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "pagecase/core/find_first_of.h"

namespace tw::pagecase {

// The lower-case form of one code point: one to three code points.
struct LowerForm {
    std::uint32_t points[3];
    std::size_t size;
};

// Lower-casing of one-byte code units where every byte's form is one code
// point below 0x100 and no code point is the form of more than two bytes (a
// letter and its capital): what the byte searches of the fuzzy score take.
struct ByteFolding {
    static constexpr std::int16_t kNone = -1;
    std::uint8_t lower[256];
    std::int16_t sources[256][2]; // the bytes whose form a code point is; kNone where fewer
};

// ASCII's: 26 letters change; bytes from 0x80 on are left as they are.
constexpr ByteFolding make_ascii_folding() {
    ByteFolding folding{};
    for (int b = 0; b < 256; ++b) {
        folding.lower[b] = static_cast<std::uint8_t>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
        folding.sources[b][0] = folding.sources[b][1] = ByteFolding::kNone;
    }
    for (int b = 0; b < 256; ++b) {
        std::int16_t* sources = folding.sources[folding.lower[b]];
        sources[sources[0] == ByteFolding::kNone ? 0 : 1] = static_cast<std::int16_t>(b);
    }
    return folding;
}
inline constexpr ByteFolding kAsciiFolding = make_ascii_folding();

class LowerCase {
  public:
    static constexpr std::uint32_t kTableEnd = 0x20000;
    using SimpleMapping = std::uint32_t (*)(std::uint32_t);
    struct Expansion {
        std::uint32_t from;
        LowerForm to;
    };
    // A code point whose form is one of two, chosen by its neighbours.
    struct Contextual {
        std::uint32_t from;
        std::uint32_t forms[2];
    };

    // Asks `simple` for every code point below kTableEnd (about half a
    // millisecond); `expansions` and `contextual` override it.
    LowerCase(SimpleMapping simple, std::vector<Expansion> expansions, Contextual contextual);

    bool is_contextual(std::uint32_t c) const { return c == contextual_.from; }

    // Latin-1's lower-casing as a ByteFolding, where it can be one (it is in
    // every Unicode release so far); null otherwise.
    const ByteFolding* latin1() const { return latin1_valid_ ? &latin1_ : nullptr; }
    const Contextual& contextual() const { return contextual_; }

    // The form of `c`, which is not the contextual code point.
    LowerForm form(std::uint32_t c) const {
        if (c < kTableEnd) {
            const std::int32_t entry = entries_[block_of(c) | (c & 0xFF)];
            if ((entry & kSpecial) == 0) return {{c + static_cast<std::uint32_t>(entry >> 1)}, 1};
        }
        return special_form(c);
    }

    // What a search for `wanted` in text of code units up to `max_unit` must
    // stop at: every code point whose form holds `wanted`, every expansion
    // (the positions after one move), and code points beyond the tables.
    // False when there are more than a scan takes: then the search reads
    // every code point.
    bool scan_targets(std::uint32_t wanted, std::uint32_t max_unit, ScanTargets& targets) const {
        targets.count = 0;
        targets.from_limit = max_unit >= kTableEnd;
        targets.limit = kTableEnd;
        auto add = [&](std::uint32_t value) {
            if (value > max_unit) return true;
            if (targets.count == kMaxScanValues) return false;
            targets.values[targets.count++] = value;
            return true;
        };
        if (wanted >= kTableEnd) return beyond_table_targets(wanted, add);
        if (entries_[block_of(wanted) | (wanted & 0xFF)] == 0 && !add(wanted)) return false;
        const std::uint32_t run =
            source_runs_[std::size_t{source_index_[wanted >> 8]} << 8 | (wanted & 0xFF)];
        for (std::uint32_t k = run >> 8, end = k + (run & 0xFF); k < end; ++k)
            if (!add(sources_[k])) return false;
        for (std::uint32_t from : expansion_sources_)
            if (!add(from)) return false;
        return true;
    }

  private:
    static constexpr std::int32_t kSpecial = 1; // an expansion, or the contextual code point

    std::size_t block_of(std::uint32_t c) const { return std::size_t{index_[c >> 8]} << 8; }
    LowerForm special_form(std::uint32_t c) const;
    template <typename Add> bool beyond_table_targets(std::uint32_t wanted, Add add) const {
        for (auto at = std::lower_bound(lowered_sources_.begin(), lowered_sources_.end(),
                                        std::make_pair(wanted, 0u));
             at != lowered_sources_.end() && at->first == wanted; ++at)
            if (!add(at->second)) return false;
        for (std::uint32_t from : expansion_sources_)
            if (!add(from)) return false;
        return true;
    }

    SimpleMapping simple_;
    std::vector<Expansion> expansions_;
    std::vector<std::uint32_t> expansion_sources_; // their `from`
    Contextual contextual_;
    // entry = (form - c) * 2, plus kSpecial; in blocks of 256 code points,
    // those of unchanged code points sharing block 0.
    std::vector<std::uint16_t> index_;
    std::vector<std::int32_t> entries_;
    // The code points whose form holds a given code point, other than itself:
    // for one below kTableEnd, the run (start << 8 | count) of sources_
    // found through blocks of 256 as for the forms; beyond, a search of
    // lowered_sources_, sorted (the code point of a form, its source).
    std::vector<std::uint16_t> source_index_;
    std::vector<std::uint32_t> source_runs_;
    std::vector<std::uint32_t> sources_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lowered_sources_;
    ByteFolding latin1_{};
    bool latin1_valid_ = true;
};

} // namespace tw::pagecase
