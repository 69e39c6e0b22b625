// What the fuzz targets share: a check that stops the run with the failed
// condition, so a broken invariant is a finding like a sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>

#define TW_FUZZ_CHECK(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
