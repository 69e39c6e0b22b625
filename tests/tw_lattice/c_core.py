"""The module's exported C functions, called through ctypes: the AES-128-CBC
interface and the core's SHA-256, HMAC, PBKDF2, base64 and token passes.

Run as a script it reads calls as JSON on stdin ([method, hex arguments...])
and writes their results as JSON, so a test can compare a process on the
portable paths (TW_LATTICE_PORTABLE_AES=1, TW_LATTICE_PORTABLE_SHA=1) with
one on the processor's instructions.
"""

import ctypes
import json
import sys

CONTEXT_SIZE = 176 + 16  # RoundKey, Iv
size_t, ssize_t, buf = ctypes.c_size_t, ctypes.c_ssize_t, ctypes.c_char_p


class Core:
    def __init__(self, module):
        lib = self.lib = ctypes.CDLL(module.__file__)
        signatures = {
            "AES_init_ctx_iv": (None, [ctypes.c_void_p, buf, buf]),
            "AES_CBC_encrypt_buffer": (None, [ctypes.c_void_p, ctypes.c_void_p, size_t]),
            "AES_CBC_decrypt_buffer": (None, [ctypes.c_void_p, ctypes.c_void_p, size_t]),
            "tw_lattice_sha256": (None, [buf, size_t, buf]),
            "tw_lattice_hmac_sha256": (None, [buf, size_t, buf, size_t, buf]),
            "tw_lattice_pbkdf2_hmac_sha256": (None, [buf, size_t, buf, size_t, ctypes.c_uint32, buf, size_t]),
            "tw_lattice_urlsafe_b64encode": (size_t, [buf, size_t, buf]),
            "tw_lattice_urlsafe_b64decode": (ssize_t, [buf, size_t, buf]),
            "tw_lattice_urlsafe_b64decode_310": (ssize_t, [buf, size_t, buf]),
            "tw_lattice_token_seal": (size_t, [buf, buf, buf, buf, size_t, buf]),
            "tw_lattice_token_decode": (ssize_t, [buf, buf, size_t, buf, buf]),
            "tw_lattice_implementations": (ctypes.c_char_p, []),
        }
        for name, (restype, argtypes) in signatures.items():
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes

    def implementations(self):
        return self.lib.tw_lattice_implementations().decode()

    # ---------------------------------------------------------------- AES

    def context(self, key, iv):
        assert len(key) == 16 and len(iv) == 16
        ctx = ctypes.create_string_buffer(CONTEXT_SIZE)
        self.lib.AES_init_ctx_iv(ctx, key, iv)
        return ctx

    def cbc(self, direction, ctx, data, length=None):
        """One in-place call on a copy of `data`; returns the buffer afterwards."""
        out = ctypes.create_string_buffer(data, len(data))
        function = self.lib.AES_CBC_encrypt_buffer if direction == "encrypt" else self.lib.AES_CBC_decrypt_buffer
        function(ctx, out, len(data) if length is None else length)
        return out.raw

    def aes_case(self, key, iv, data):
        """Round keys, ciphertext, the chaining value after it, and the decryption of `data`."""
        ctx = self.context(key, iv)
        ciphertext = self.cbc("encrypt", ctx, data)
        round_keys, chain = ctx.raw[:176], ctx.raw[176:]
        plaintext = self.cbc("decrypt", self.context(key, iv), data)
        return [round_keys, ciphertext, chain, plaintext]

    # ----------------------------------------------------- digests and base64

    def sha256(self, data):
        out = ctypes.create_string_buffer(32)
        self.lib.tw_lattice_sha256(data, len(data), out)
        return out.raw

    def hmac_sha256(self, key, data):
        out = ctypes.create_string_buffer(32)
        self.lib.tw_lattice_hmac_sha256(key, len(key), data, len(data), out)
        return out.raw

    def pbkdf2(self, password, salt, iterations, size):
        out = ctypes.create_string_buffer(size)
        self.lib.tw_lattice_pbkdf2_hmac_sha256(password, len(password), salt, len(salt), iterations, out, size)
        return out.raw

    def b64encode(self, data):
        out = ctypes.create_string_buffer(len(data) // 3 * 4 + 4)
        size = self.lib.tw_lattice_urlsafe_b64encode(data, len(data), out)
        return out.raw[:size]

    def b64decode(self, text):
        """The fast path's result, or None where it hands over to the standard decoder."""
        out = ctypes.create_string_buffer(len(text) // 4 * 3 + 1)
        size = self.lib.tw_lattice_urlsafe_b64decode(text, len(text), out)
        return None if size < 0 else out.raw[:size]

    def b64decode_310(self, text):
        """CPython 3.10's reading of any text: the bytes, or "padding" or "one over" where it refuses."""
        out = ctypes.create_string_buffer(len(text) // 4 * 3 + 3)
        size = self.lib.tw_lattice_urlsafe_b64decode_310(text, len(text), out)
        return {-1: "padding", -2: "one over"}.get(size) or out.raw[:size]

    # -------------------------------------------------------- token passes

    def token_seal(self, key, timestamp, iv, data):
        out = ctypes.create_string_buffer((len(data) + 16 + 57) // 3 * 4 + 8)
        size = self.lib.tw_lattice_token_seal(key, timestamp, iv, data, len(data), out)
        return out.raw[:size]

    def token_decode(self, key, text):
        """(decoded bytes, tag the token should carry), or None for non-canonical text."""
        out, tag = ctypes.create_string_buffer(len(text) // 4 * 3 + 1), ctypes.create_string_buffer(32)
        size = self.lib.tw_lattice_token_decode(key, text, len(text), out, tag)
        return None if size < 0 else (out.raw[:size], tag.raw)


def encoded(value):
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return [encoded(item) for item in value]
    return value


if __name__ == "__main__":
    from tidewing_lattice import tw_lattice

    core = Core(tw_lattice)
    calls = json.load(sys.stdin)
    results = [
        getattr(core, name)(*(bytes.fromhex(a) if isinstance(a, str) else a for a in args)) for name, *args in calls
    ]
    json.dump({"implementations": core.implementations(), "results": encoded(results)}, sys.stdout)
