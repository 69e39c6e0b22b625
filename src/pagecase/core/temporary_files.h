// The temporary files of whole-file replacement: their names, and the removal
// of those that writers killed midway left behind.
//
// Removing stale temporaries, rather than writing an unnamed O_TMPFILE file
// and linking it in at the end: linkat() cannot replace an existing name, so
// even an unnamed file needs a name of its own before rename() puts it in
// place, and a kill between the two leaves that name behind all the same; not
// every file system offers O_TMPFILE either. Removing what dead writers left
// covers every case on every file system.
#pragma once

#include <string>
#include <string_view>

namespace tw::pagecase {

// The path of the calling thread's temporary file for `name` in `folder`:
// ".<name>.<pid>.<tid>.tmp", with `name` shortened so that it fits in a
// file name.
std::string temporary_path(const std::string& folder, std::string_view name);

// Removes the temporary files of `name` in `folder` whose writing thread no
// longer exists; those of live threads (this process's included) stay.
//
// Liveness is judged by thread and process id in our own PID namespace. A
// writer in another namespace sharing the folder (another container) looks
// dead: its temporary may go, and its save then fails silently, as a save
// that lost a race to another writer does anyway.
void remove_stale_temporaries(const std::string& folder, std::string_view name);

} // namespace tw::pagecase
