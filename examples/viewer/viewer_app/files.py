"""Reading a file the viewer was handed a path to, without ever waiting.

The document store answers with paths, and whoever can write in a folder can
swap a checked file for a FIFO, a device or a link before it is opened. So
every file the viewer reads goes through `read_regular`: opened non-blocking
(a FIFO without a writer opens at once instead of waiting for one) and without
following a link in the final component, then judged by fstat on that
descriptor, which is the file that is read.
"""

import os
import stat

# Descriptors are opened non-inheritable by Python itself. Windows has neither
# flag, nor FIFOs to open.
_FLAGS = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)


def read_regular(path, limit):
    """(bytes, os.stat_result) of the regular file at `path`, or None when it
    cannot be opened, is anything but a regular file, or is over `limit` bytes."""
    try:
        descriptor = os.open(path, _FLAGS)
    except OSError:
        return None
    with open(descriptor, "rb") as file:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode) or status.st_size > limit:
            return None
        try:
            return file.read(limit), status
        except OSError:
            return None
