// Reading whole files: reads that retry when interrupted, and a bounded read
// of a whole file that never holds more than its cap allows. No Python
// headers: the bindings run these with the GIL released, and whatever they
// throw (std::bad_alloc) reaches the binding once the lock is held again.
#pragma once

#include <cstddef>
#include <string>

#include "pagecase/core/file_descriptor.h"

namespace tw::pagecase {

// What reading into a fixed buffer came to.
struct Filled {
    std::size_t size = 0; // bytes now in the buffer
    int error = 0;        // errno of a failed read, else 0
};

// Reads into `buffer` until it is full, the file ends, or a read fails. A
// descriptor opened without waiting (a FIFO) is waited on whenever it has
// nothing to read yet.
Filled fill(int fd, char* buffer, std::size_t size);

// Waits until `fd` has something to read or has ended: a FIFO opened without
// waiting waits here for its writer, as a blocking open would. 0, or the
// errno; retried when a signal interrupts it unless told to stop.
int wait_for_data(int fd);

enum class ReadStatus {
    complete,
    failed,      // opening, examining or reading failed; the errno says why
    too_large,   // more than the cap
    not_regular, // a FIFO, a device, a folder, a socket: refused unread
    untrusted    // a symbolic link, or a file of an owner the caller refuses
};

// Appends the rest of the file to `content`. Complete when the file ended with
// `content` holding at most `cap` bytes; too_large as soon as it holds more
// (never more than `cap` + 1 bytes). The buffer grows into the capacity
// `content` already has before it grows in steps. `cap` is below SIZE_MAX.
ReadStatus read_rest(int fd, std::string& content, std::size_t cap, int& error);

struct FileContent {
    ReadStatus status = ReadStatus::complete;
    int error = 0;     // the errno when failed
    std::string bytes; // the content when complete, else empty
};

// Whose files a read takes.
enum class Owner {
    anyone,
    effective_user, // a file of anybody else's is untrusted
};

// The whole of the regular file at `path`, at most `cap` bytes. Anything else
// standing there (a FIFO, a device, a folder) is not_regular, found out
// without reading from it and without waiting for a FIFO's writer. A symbolic
// link at `path` itself is untrusted, never followed: a caller follows the
// links it trusts first (follow_trusted_links in atomic_file.h), and one
// swapped in after that fails to open. Who owns the file is judged on the
// open descriptor.
FileContent read_regular_file(const std::string& path, std::size_t cap, Owner owner);

// What reading in text mode does to line ends: CR LF and a lone CR become LF.
void translate_newlines(std::string& text);

} // namespace tw::pagecase
