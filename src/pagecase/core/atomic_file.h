// Whole-file replacement that never leaves a partly written file behind.
//
// The new content goes to a temporary file in the destination's folder (named
// ".<name>.<pid>.<tid>.tmp", unique to the process and thread), which is
// flushed to disk and then renamed over the destination. A failure removes the
// temporary file and leaves the destination as it was; a process killed
// midway leaves the old or the new file, and at worst its temporary, which
// the next save of that file removes (temporary_files.h). Like a write in
// place, it fails on an existing file the caller may not write.
//
// Where the folder does not let us create the temporary file but the file
// itself may be written (a state folder of mode 0555 holding a writable list),
// the file is written in place, the way a plain write would: the change is
// kept, at the price of a partly written file should the process die midway.
#pragma once

#include <string>
#include <string_view>

namespace tw::pagecase {

enum class FileMode {
    // 0o600 from creation, before any byte is written. A symbolic link at the
    // destination is replaced by the file, never written through.
    owner_only,
    // The permission bits of the file being replaced (new files: the umask
    // default). A symbolic link at the destination is followed and the file it
    // names is replaced, but only where the kernel would follow it under
    // fs.protected_symlinks; otherwise nothing is written (EACCES).
    like_replaced,
};

// Returns 0 on success, else the errno of the step that failed.
int replace_file(const std::string& path, std::string_view content, FileMode mode);

} // namespace tw::pagecase
