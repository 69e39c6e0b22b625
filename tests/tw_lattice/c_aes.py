"""The module's exported AES-128-CBC functions, called through ctypes.

Run as a script it reads cases as JSON on stdin and writes their results as
JSON, so a test can compare a process on the portable path
(TW_LATTICE_PORTABLE_AES=1) with one on the hardware path.
"""

import ctypes
import json
import sys

CONTEXT_SIZE = 176 + 16  # RoundKey, Iv


class CAes:
    def __init__(self, module):
        self.lib = ctypes.CDLL(module.__file__)
        self.lib.AES_init_ctx_iv.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
        self.lib.AES_init_ctx_iv.restype = None
        for name in ("AES_CBC_encrypt_buffer", "AES_CBC_decrypt_buffer"):
            function = getattr(self.lib, name)
            function.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
            function.restype = None

    def context(self, key, iv):
        assert len(key) == 16 and len(iv) == 16
        ctx = ctypes.create_string_buffer(CONTEXT_SIZE)
        self.lib.AES_init_ctx_iv(ctx, key, iv)
        return ctx

    def cbc(self, direction, ctx, data, length=None):
        """One in-place call on a copy of `data`; returns the buffer afterwards."""
        buf = ctypes.create_string_buffer(data, len(data))
        function = self.lib.AES_CBC_encrypt_buffer if direction == "encrypt" else self.lib.AES_CBC_decrypt_buffer
        function(ctx, buf, len(data) if length is None else length)
        return buf.raw

    def run_case(self, key, iv, data):
        """Round keys, ciphertext, the chaining value after it, and the decryption of `data`."""
        ctx = self.context(key, iv)
        ciphertext = self.cbc("encrypt", ctx, data)
        round_keys, chain = ctx.raw[:176], ctx.raw[176:]
        plaintext = self.cbc("decrypt", self.context(key, iv), data)
        return [round_keys.hex(), ciphertext.hex(), chain.hex(), plaintext.hex()]


if __name__ == "__main__":
    from tidewing_lattice import tw_lattice

    aes = CAes(tw_lattice)
    cases = json.load(sys.stdin)
    json.dump([aes.run_case(*(bytes.fromhex(v) for v in case)) for case in cases], sys.stdout)
