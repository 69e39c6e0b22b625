"""What one connection may take from the server, and what it may put in the log.

Any local process can connect to the loopback port. So each request gets one
deadline for its headers and body together (a client that sends a byte now
and then cannot hold its thread), the server holds a bounded number of
connections at once and answers the next one with a 503, its listen backlog
takes a browser's burst of connections, and every log line is escaped, so no
client's bytes reach the terminal as control characters.
"""

import io
import re
import socket
import sys
import time

REQUEST_DEADLINE_S = 10  # for a whole request, counted from when the server starts waiting for it
MAX_CONNECTIONS = 64
LISTEN_BACKLOG = 128  # a full queue drops connections, which then wait a second to try again

# Everything but printable ASCII, and the backslash that starts an escape.
_UNPRINTABLE = re.compile(r"[^\x20-\x5b\x5d-\x7e]")


def printable(text):
    """`text` with every control character, non-ASCII character and backslash
    written as a Python escape (\\x1b, \\u202e, \\\\)."""
    return _UNPRINTABLE.sub(lambda match: ascii(match[0])[1:-1], text)


def log(line):
    sys.stderr.write(printable(line) + "\n")


class DeadlineReader(io.RawIOBase):
    """A connection's reading side with one deadline per request rather than a
    timeout per read: every read waits at most for what is left of it."""

    def __init__(self, sock):
        self._sock = sock
        self.restart()

    def restart(self):
        """The next request's deadline begins now."""
        self._deadline = time.monotonic() + REQUEST_DEADLINE_S

    def readable(self):
        return True

    def readinto(self, buffer):
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request's deadline passed")
        self._sock.settimeout(left)
        return self._sock.recv_into(buffer)


def refuse(sock, answer):
    """Write `answer` (a whole HTTP response) to a connection past the cap and
    close it, without waiting on the client at any step."""
    try:
        sock.setblocking(False)
        sock.send(answer)
        sock.shutdown(socket.SHUT_WR)
        # What the client sent already: closing with it unread would reset the
        # connection, and the client could lose the answer.
        sock.recv(65536)
    except OSError:
        pass
    sock.close()
