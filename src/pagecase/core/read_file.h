// Reading whole files: reads that retry when interrupted, and a bounded read
// of a whole file that never holds more than its cap allows. No Python
// headers: the bindings run these with the GIL released, and whatever they
// throw (std::bad_alloc) reaches the binding once the lock is held again.
//
// Results are the platform layer's: 0, or the errno of the failure.
#pragma once

#include <cstddef>
#include <string>

#include "common/platform/platform.h"

namespace tw::pagecase {

// Reads into `buffer` until it is full, the file ends, or a read fails;
// `filled` is the number of bytes read either way. A descriptor opened
// without waiting (a FIFO) is waited on whenever it has nothing to read yet.
int fill(int fd, char* buffer, std::size_t size, std::size_t& filled);

// Waits until `fd` has something to read or has ended: a FIFO opened without
// waiting waits here for its writer, as a blocking open would. Retried when a
// signal interrupts it unless told to stop.
int wait_for_data(int fd);

// Appends the rest of the file to `content`. 0 when the file ended with
// `content` holding at most `cap` bytes; EFBIG as soon as it holds more
// (never more than `cap` + 1 bytes). The buffer grows into the capacity
// `content` already has before it grows in steps. `cap` is below SIZE_MAX.
int read_rest(int fd, std::string& content, std::size_t cap);

// Whose files a read takes.
enum class Owner {
    anyone,
    effective_user, // a file of anybody else's is refused (EACCES)
};

// The whole of the regular file at `path` into `bytes`, at most `cap` bytes
// (EFBIG beyond). Anything else standing there (a FIFO, a device, a folder)
// is refused with EINVAL, found out without reading from it and without
// waiting for a FIFO's writer. A symbolic link at `path` itself is refused
// with ELOOP, never followed: a caller follows the links it trusts first
// (follow_trusted_links in atomic_file.h), and one swapped in after that
// fails to open. Who owns the file is judged on the open descriptor. `bytes`
// is empty after a failure.
int read_regular_file(const std::string& path, std::size_t cap, Owner owner, std::string& bytes);

// What reading in text mode does to line ends: CR LF and a lone CR become LF.
void translate_newlines(std::string& text);

} // namespace tw::pagecase
