// The temporary files of whole-file replacement: their names, the lock their
// writers hold, and the removal of those that writers killed midway left
// behind.
//
// Removing stale temporaries, rather than writing an unnamed O_TMPFILE file
// and linking it in at the end: linkat() cannot replace an existing name, so
// even an unnamed file needs a name of its own before rename() puts it in
// place, and a kill between the two leaves that name behind all the same; not
// every file system offers O_TMPFILE either. Removing what dead writers left
// covers every case on every file system.
//
// A writer holds a lock on its temporary file from just after creating it
// until it has renamed it, and the lock ends with the writer's descriptor,
// however the writer ends. A temporary whose lock can be taken therefore
// belongs to a dead writer, whatever process or thread ids its name carries:
// ids are reused, and a writer in another PID namespace has ids of its own.
#pragma once

#include <string>
#include <string_view>

namespace tw::pagecase {

// The path of the calling thread's temporary file for `name` in `folder`:
// ".<name>.<pid>.<tid>.tmp", with `name` shortened so that it fits in a
// file name. The ids only make the name unique among live writers and tell
// people whose file it is; liveness is judged by the lock.
std::string temporary_path(const std::string& folder, std::string_view name);

// Takes the writer's lock on the temporary file just created at `fd`, without
// waiting. False only when another descriptor holds it: a cleaner that found
// the file before it was locked, and judged it a dead writer's. Where the file
// system offers no locks, true: cleaners there cannot take the lock either,
// so they leave the file alone.
bool lock_for_writing(int fd);

// Tries the lock of a temporary file found open at `fd`, without waiting:
// true when it was taken (the lock then stays with `fd` until it is closed),
// false when a writer holds it or the file system offers no locks.
bool lock_is_free(int fd);

// Removes the temporary file at `path` when its writer is gone (its lock can
// be taken). Only a regular file is ever opened; a FIFO, a device, a folder
// or a link standing there is left alone. True when it was removed.
bool remove_if_stale(const std::string& path);

// Removes the temporary files of `name` in `folder` (names of the form
// temporary_path() makes) whose writers are gone; those being written, by
// any process, this one's threads included, stay.
void remove_stale_temporaries(const std::string& folder, std::string_view name);

} // namespace tw::pagecase
