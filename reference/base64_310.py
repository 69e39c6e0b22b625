"""base64.urlsafe_b64decode as CPython 3.10 reads any text, written out.

The native route decodes every text this way on every release (README:
"Where CPython releases differ"): tests use this as the oracle there, and
check it against the interpreter's own decoder where that is 3.10's.
"""

import binascii

_VALUES = {c: v for v, c in enumerate(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")}
_VALUES.update({ord("-"): 62, ord("_"): 63})


def _bytes_from_decode_data(s):
    if isinstance(s, str):
        try:
            return s.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError("string argument should contain only ASCII characters") from None
    if isinstance(s, (bytes, bytearray)):
        return s
    try:
        return memoryview(s).tobytes()
    except TypeError:
        raise TypeError(f"argument should be a bytes-like object or ASCII string, not {type(s).__name__!r}") from None


def urlsafe_b64decode(s):
    """Characters outside both alphabets are skipped; a run of "=" that fills
    a group of four ends the data, one that cannot fill it is skipped."""
    out = bytearray()
    position = pads = held = 0
    for c in _bytes_from_decode_data(s):
        if c == ord("="):
            if position >= 2:
                pads += 1
                if position + pads >= 4:
                    return bytes(out)
            continue
        if c not in _VALUES:
            continue
        value, pads = _VALUES[c], 0
        if position:
            shift = 2 * position
            out.append((held << shift | value >> (6 - shift)) & 0xFF)
        held, position = value, (position + 1) % 4
    if position == 1:
        raise binascii.Error(
            f"Invalid base64-encoded string: number of data characters ({len(out) // 3 * 4 + 1})"
            " cannot be 1 more than a multiple of 4"
        )
    if position:
        raise binascii.Error("Incorrect padding")
    return bytes(out)
