// Whole-file replacement that never leaves a partly written file behind.
//
// The new content goes to a temporary file in the destination's folder (named
// ".<name>.<pid>.<tid>.tmp", unique to the process and thread), which is
// flushed to disk and then renamed over the destination. A failure removes
// the temporary file and leaves the destination as it was; a process killed
// midway leaves the old or the new file, at worst with a stray temporary.
// Like a write in place, it fails on an existing file the caller may not
// write.
#pragma once

#include <string>
#include <string_view>

namespace tw::pagecase {

enum class FileMode {
    owner_only,    // 0o600 from creation, before any byte is written
    like_replaced, // the permission bits of the file being replaced (new files: umask default);
                   // a destination that is a symbolic link is replaced at its target
};

// Returns 0 on success, else the errno of the step that failed.
int replace_file(const std::string& path, std::string_view content, FileMode mode);

} // namespace tw::pagecase
