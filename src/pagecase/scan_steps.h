// Quick open through the module's current objects: the scan over os.walk,
// the ranking and the fuzzy score step by step, taken when a host has
// rebound a name the native routes stand in for, or passes objects they
// cannot read.
#pragma once

#include "pagecase/module_state.h"

namespace tw::pagecase {

// The constants of one scan, read at the start of the call.
struct ScanSettings {
    nb::object max_files, max_depth, skip_dirs, markdown_suffixes;
};
ScanSettings read_scan_settings();

// Goes on with a scan through `os.walk` and the module's current objects:
// first below `base` (a root already resolved, or null), then below each
// remaining root of the iterator `roots`. Returns `results`.
nb::list scan_by_steps(const ScanSettings& settings, nb::list results, nb::set seen,
                       nb::handle base, nb::handle roots);

// Ranks scan results with the module's current `fuzzy_score`.
nb::object rank_by_steps(nb::handle candidates, nb::handle query, nb::handle limit);

// fuzzy_score with the arguments' own string operations.
nb::object fuzzy_score_by_steps(nb::handle query, nb::handle candidate);

} // namespace tw::pagecase
