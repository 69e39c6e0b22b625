"""The page's line to the server: a WebSocket held open while both run.

When the viewer stops, the system closes the connection and the page hears
of it at once, before it asks anything again: it forgets its token and stops
asking, so a program that takes the port next is handed nothing. Nothing is
ever sent on it; the page's closing frame is answered in kind.
"""

import base64
import hashlib

_ACCEPT_SUFFIX = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_CLOSE = 0x8


def accept_key(headers):
    """The Sec-WebSocket-Accept value for a version-13 opening handshake, or
    None when the request is not one."""
    key = headers.get("Sec-WebSocket-Key", "")
    if headers.get("Upgrade", "").lower() != "websocket" or headers.get("Sec-WebSocket-Version") != "13":
        return None
    try:
        if len(base64.b64decode(key, validate=True)) != 16:
            return None
    except ValueError:
        return None
    return base64.b64encode(hashlib.sha1(key.encode("ascii") + _ACCEPT_SUFFIX).digest()).decode("ascii")


def hold(sock):
    """Keep the connection until the page closes it or goes."""
    sock.settimeout(None)
    try:
        while data := sock.recv(4096):
            if data[0] & 0x0F == _CLOSE:  # the page sends no other frame
                sock.sendall(bytes([0x80 | _CLOSE, 0]))
                return
    except OSError:
        return
