// What each family's source file (linux.cpp, posix.cpp, windows.cpp) supplies
// to the code the families share: cpu_features.cpp for every family, and
// posix_common.cpp for Linux and the other POSIX systems. Internal to the
// layer.
#pragma once

#include "common/platform/platform.h"

struct stat;

namespace tw::platform::family {

// arm64 only: the cryptographic extension's flags, as the family's own
// record of the processor tells them.
void read_arm64_features(CpuFeatures& features) noexcept;

// POSIX families only: the modification time of a stat result, whose field
// is named differently across them.
void take_modification_time(const struct stat& status, FileInfo& info) noexcept;

// Runs `prepare` in the thread that forks just before fork(), then `parent`
// in the parent and `child` in the child just after (pthread_atfork); a
// family that cannot fork (Windows) never runs them.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

} // namespace tw::platform::family
