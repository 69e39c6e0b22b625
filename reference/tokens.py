"""The token cipher written as plain Python: AES-128 (FIPS-197) and CBC on
lists of bytes, PKCS#7 padding, and TwFernet's steps one by one through the
standard modules.

Tests use `TwFernet` as the oracle for what the documented steps do with any
argument (right or wrong types, hostile objects), and benchmarks use it as
the straightforward baseline. The standard modules are bound under the names
the native module uses, so a test can rebind them here as well.
"""

import base64
import hashlib
import hmac as hmac_mod
import os
import struct
import time as time_module

# ------------------------------------------------------------------ AES-128


def _xtime(a):
    return ((a << 1) ^ 0x1B) & 0xFF if a & 0x80 else a << 1


def _mul(a, b):
    result = 0
    while b:
        if b & 1:
            result ^= a
        a, b = _xtime(a), b >> 1
    return result


def _sbox():
    inverse = [0] * 256
    for a in range(1, 256):
        inverse[a] = next(b for b in range(1, 256) if _mul(a, b) == 1)
    rotl = lambda x, s: ((x << s) | (x >> (8 - s))) & 0xFF
    return [b ^ rotl(b, 1) ^ rotl(b, 2) ^ rotl(b, 3) ^ rotl(b, 4) ^ 0x63 for b in inverse]


SBOX = _sbox()
INV_SBOX = [SBOX.index(i) for i in range(256)]
RCON = [0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36]


def expand_key(key):
    """FIPS-197 5.2: eleven round keys of 16 bytes."""
    words = [list(key[i : i + 4]) for i in range(0, 16, 4)]
    for i in range(4, 44):
        temp = list(words[i - 1])
        if i % 4 == 0:
            temp = [SBOX[b] for b in temp[1:] + temp[:1]]
            temp[0] ^= RCON[i // 4 - 1]
        words.append([a ^ b for a, b in zip(words[i - 4], temp)])
    return [sum(words[4 * r : 4 * r + 4], []) for r in range(11)]


def encrypt_block(round_keys, block):
    s = [a ^ b for a, b in zip(block, round_keys[0])]
    for r in range(1, 11):
        s = [SBOX[b] for b in s]
        s = [s[(i + 4 * (i % 4)) % 16] for i in range(16)]  # ShiftRows
        if r < 10:
            mixed = []
            for c in range(4):
                a = s[4 * c : 4 * c + 4]
                t = a[0] ^ a[1] ^ a[2] ^ a[3]
                mixed += [a[i] ^ t ^ _xtime(a[i] ^ a[(i + 1) % 4]) for i in range(4)]
            s = mixed
        s = [a ^ b for a, b in zip(s, round_keys[r])]
    return s


def decrypt_block(round_keys, block):
    s = [a ^ b for a, b in zip(block, round_keys[10])]
    for r in range(9, -1, -1):
        s = [s[(i - 4 * (i % 4)) % 16] for i in range(16)]  # InvShiftRows
        s = [INV_SBOX[b] for b in s]
        s = [a ^ b for a, b in zip(s, round_keys[r])]
        if r > 0:
            mixed = []
            for c in range(4):
                a = s[4 * c : 4 * c + 4]
                mixed += [
                    _mul(a[i], 14) ^ _mul(a[(i + 1) % 4], 11) ^ _mul(a[(i + 2) % 4], 13) ^ _mul(a[(i + 3) % 4], 9)
                    for i in range(4)
                ]
            s = mixed
    return s


def cbc_encrypt(key, iv, data):
    """SP 800-38A CBC over whole blocks."""
    round_keys, chain, out = expand_key(key), list(iv), bytearray()
    for i in range(0, len(data), 16):
        chain = encrypt_block(round_keys, [a ^ b for a, b in zip(data[i : i + 16], chain)])
        out += bytes(chain)
    return bytes(out)


def cbc_decrypt(key, iv, data):
    round_keys, chain, out = expand_key(key), list(iv), bytearray()
    for i in range(0, len(data), 16):
        block = list(data[i : i + 16])
        out += bytes(a ^ b for a, b in zip(decrypt_block(round_keys, block), chain))
        chain = block
    return bytes(out)


def pad(data):
    length = 16 - len(data) % 16
    return data + bytes([length]) * length


def unpad(data):
    if not data or not 1 <= data[-1] <= 16 or data[-data[-1] :] != bytes([data[-1]]) * data[-1]:
        raise ValueError("Invalid padding")
    return data[: -data[-1]]


# ------------------------------------------------------------- the token cipher


class InvalidToken(Exception):
    pass


MAX_CLOCK_SKEW = 60


class TwFernet:
    """The documented steps of the token cipher, with the module's choice for `ttl`."""

    _FERNET_VERSION = b"\x80"

    def __init__(self, key):
        if isinstance(key, str):
            key = key.encode()
        decoded = base64.urlsafe_b64decode(key)
        if len(decoded) != 32:
            raise ValueError("Fernet key must be 32 url-safe base64-encoded bytes.")
        self._signing_key = decoded[:16]
        self._encryption_key = decoded[16:]

    @staticmethod
    def generate_key():
        return base64.urlsafe_b64encode(os.urandom(32))

    def encrypt(self, data):
        if isinstance(data, str):
            data = data.encode()
        if not isinstance(data, bytes):
            raise TypeError(f"encrypt() argument 'data' must be str or bytes, not {type(data).__name__}")
        iv = os.urandom(16)
        ciphertext = cbc_encrypt(self._encryption_key, iv, pad(data))
        now = int(time_module.time())
        body = self._FERNET_VERSION + struct.pack(">Q", now) + iv + ciphertext
        tag = hmac_mod.new(self._signing_key, body, hashlib.sha256).digest()
        return base64.urlsafe_b64encode(body + tag)

    def decrypt(self, token, ttl=None):
        if not isinstance(token, (str, bytes)):
            raise InvalidToken("Cannot decode token")
        try:
            if isinstance(token, str):
                token = token.encode()
            data = base64.urlsafe_b64decode(token)
        except Exception:
            # Implicitly chained (__context__), as the module raises it.
            raise InvalidToken("Cannot decode token")  # noqa: B904
        if len(data) <= 56 or data[0] != 0x80:
            raise InvalidToken("Invalid token format")
        body, tag = data[:-32], data[-32:]
        expected = hmac_mod.new(self._signing_key, body, hashlib.sha256).digest()
        if not hmac_mod.compare_digest(expected, tag):
            raise InvalidToken("HMAC verification failed")
        if ttl is not None:
            issued = struct.unpack(">Q", data[1:9])[0]
            now = int(time_module.time())
            if issued + ttl < now:
                raise InvalidToken("Token has expired")
            if now + MAX_CLOCK_SKEW < issued:
                raise InvalidToken("Token timestamp is in the future")
        iv, ciphertext = body[9:25], body[25:]
        if len(ciphertext) % 16:
            raise InvalidToken("Invalid ciphertext length")
        try:
            return unpad(cbc_decrypt(self._encryption_key, iv, ciphertext))
        except ValueError:
            raise InvalidToken("Invalid padding")  # noqa: B904
