// How the encryption core's long passes stop early: between steps of about
// a millisecond on the portable paths (a tenth of that on the processor's
// instructions) they ask whether to go on (common/interruption.h), and give
// up with their failure value when told to stop. Key material made so far
// is wiped then (a derivation's partial chain); the caller's data and what
// it would have got back (a plaintext, a ciphertext) are not: wiping a
// quarter of a gigabyte would take longer than the rest of the stop. Often enough that a signal
// ends a token of any size or a key derivation promptly; rarely enough that
// the question, which reads the clock, costs nothing beside the work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/interruption.h"

namespace tw::lattice {

inline constexpr std::size_t kWorkStepBytes = 64 * 1024;
inline constexpr std::uint32_t kWorkStepIterations = 2048;

// Whether to go on before the step that starts `done` into the work: never
// asked before the first, so short work never asks.
inline bool go_on(std::size_t done) {
    return done == 0 || !tw::interruption::stop_requested();
}

} // namespace tw::lattice
