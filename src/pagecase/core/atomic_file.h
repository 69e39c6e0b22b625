// Whole-file replacement that never leaves a partly written file behind, and
// the rule for following symbolic links at the state files, which their reads
// share.
//
// The new content goes to a temporary file in the destination's folder (named
// ".<name>.<pid>.<tid>.tmp", unique to the process and thread, and locked
// while it is written), which is flushed to disk and then renamed over the
// destination. A failure removes the temporary file and leaves the
// destination as it was; a process killed midway leaves the old or the new
// file, and at worst its temporary, which the next save of that file removes
// (temporary_files.h). Like a write in place, it fails on an existing file the
// caller may not write.
//
// Where the folder does not let us create the temporary file but the file
// itself may be written (a state folder of mode 0555 holding a writable list),
// the file is written in place, the way a plain write would: the change is
// kept, at the price of a partly written file should the process die midway.
#pragma once

#include <string>
#include <string_view>

#include "common/platform/platform.h"

namespace tw::pagecase {

enum class FileMode {
    // 0o600 from creation, before any byte is written. Whatever stands at the
    // destination's name (a symbolic link, a FIFO) is replaced by the file,
    // never written through.
    owner_only,
    // The permission bits of the file being replaced (new files: the umask
    // default). A symbolic link at the destination is followed as
    // follow_trusted_links() allows, and the file it names is replaced; a link
    // that may not be followed, or anything but a regular file at its end (a
    // device, a FIFO, a folder), is left as it is and nothing is written.
    like_replaced,
};

// Returns 0 on success, else the errno of the step that failed (EINVAL for
// anything but a regular file where a followed link ends).
int replace_file(const std::string& path, std::string_view content, FileMode mode);

// What stands where a path's symbolic links end: `exists` is false when
// nothing (or nothing we can see) does; `status` is its lstat.
struct LinkEnd {
    std::string path;
    bool exists = false;
    platform::FileInfo status{};
};

// Follows the symbolic links at `path` itself, hop by hop, each only where
// the kernel would follow it under fs.protected_symlinks: everywhere except
// in a sticky world-writable folder, where only links owned by us or by the
// folder's owner are followed. Applied whatever that setting is here, so that
// a link another user planted in a shared state folder never redirects a read
// or a save. 0 with `end` set, or the errno that kept the end out of reach
// (EACCES for a link that may not be followed, ELOOP past the kernel's hop
// limit).
//
// The end names no link when this looked; a reader opens it with O_NOFOLLOW
// and examines the open descriptor, so a link swapped in meanwhile fails.
int follow_trusted_links(const std::string& path, LinkEnd& end);

} // namespace tw::pagecase
