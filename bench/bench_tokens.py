"""The token cipher, key derivation and AES against their references, in one run.

    python bench/bench_tokens.py [--quick]

Contenders are measured alternately, round after round, and each figure is
the best of its rounds, so that a busy moment on a shared machine hits all of
them; times are the calling thread's CPU time, which the time the thread
spends waiting for a processor does not inflate. Printed, with the goal
beside each ratio:

  - TwFernet.encrypt/decrypt of 1 KiB and 1 MiB against the `cryptography`
    package's Fernet with the same key (and at 1 KiB against the pure-Python
    token cipher of reference/tokens.py); 1 KiB by the median of the rounds;
  - 1 MiB encryption against AES-128-CBC alone over the same padded bytes
    (the module's exported C functions), 1 MiB decryption against SHA-256
    alone over the token body (hashlib's, and the module's own);
  - tw_lattice construction, string_to_secret_key and version-2
    encrypt_data/decrypt_data of 1 KiB against hashlib.pbkdf2_hmac with the
    same parameters, and (median of 5) against the floor of PBKDF2's
    100,000 iterations: 200,000 SHA-256 compressions in a serial chain, each
    hashing the previous digest, on the SHA instructions (a small C++
    library compiled here with g++; x86-64 with the SHA extensions only);
  - peak memory of one 64 MiB encryption and decryption beyond the input,
    each in a fresh process;
  - the portable paths, in a child process that hides the AES and SHA
    instructions from both this module (TW_LATTICE_PORTABLE_AES/_SHA) and
    OpenSSL (OPENSSL_ia32cap), as on a processor without them: the native
    route against the calls through Python's standard modules, which run
    when the module's standard modules are rebound (here to plain forwarding
    stand-ins), as every call ran before the native route existed;
  - AES-128-CBC through the C functions: hardware, portable, pure Python.

The goals missed are listed at the end; the exit status is 1 when one was.
"""

import base64
import ctypes
import gc
import hashlib
import json
import os
import re
import statistics
import subprocess
import sys
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from goals import Goal, Scorecard
from scratch import scratch_folder

from reference import tokens as reference
from tidewing_lattice import tw_lattice

KIB, MIB = 1024, 1024 * 1024
QUICK = "--quick" in sys.argv
ROUNDS = 3 if QUICK else 9

GOALS = {
    "fernet": Goal("TwFernet, speed-up over the cryptography package's Fernet", ">=", 2),
    "fernet 1 KiB": Goal("TwFernet of 1 KiB, speed-up over the cryptography package's Fernet (median)", ">=", 2.5),
    "fernet 1 MiB encrypt": Goal(
        "TwFernet.encrypt of 1 MiB, speed-up over the cryptography package's Fernet", ">=", 1.8
    ),
    "pure": Goal("TwFernet of 1 KiB, speed-up over the pure-Python token cipher", ">", 1),
    "cbc floor": Goal("TwFernet.encrypt of 1 MiB, time / AES-128-CBC encryption alone", "<=", 1.3),
    "sha floor": Goal("TwFernet.decrypt of 1 MiB, time / SHA-256 alone over the token body", "<=", 1.3),
    "derivation": Goal("key derivation, speed-up over hashlib.pbkdf2_hmac", ">=", 4),
    "chain floor": Goal("key derivation, time / the serial SHA-256 chain (median of 5)", "<=", 1.10),
    "peak encrypt": Goal("TwFernet.encrypt of 64 MiB, peak memory beyond the input / payload", "<=", 1.45, unit=""),
    "peak decrypt": Goal("TwFernet.decrypt of 64 MiB, peak memory beyond the input / payload", "<=", 1.15, unit=""),
    "routes": Goal("portable paths, speed-up of the native route over Python's standard modules", ">=", 1),
    "hardware": Goal("AES-128-CBC, speed-up of the CPU's instructions over the portable AES", ">", 1),
}
CARD = Scorecard(GOALS)


def timed(function, number):
    start = time.thread_time()
    for _ in range(number):
        function()
    return (time.thread_time() - start) / number


def alternate_rounds(contenders, number, rounds=ROUNDS):
    """Seconds per call of each contender in each of `rounds` rounds of
    `number` calls, the contenders taking turns within every round."""
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, function in contenders.items():
            times[name].append(timed(function, number))
    return times


def alternate(contenders, number, rounds=ROUNDS):
    """Seconds per call of each contender: the best of its rounds (alternate_rounds)."""
    return {name: min(times) for name, times in alternate_rounds(contenders, number, rounds).items()}


def size_label(size):
    return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB"


def line(label, seconds, size=None):
    rate = f"{size / seconds / MIB:9.1f} MiB/s" if size else ""
    print(f"  {label:<50}{seconds * 1e6:12.1f} us {rate}")


def ratio(label, value, goal, subject=""):
    print(f"    {label:<64}{value:6.2f}  " + CARD.check(goal, value, subject))


class CoreFunctions:
    """The module's exported C functions, through ctypes."""

    def __init__(self):
        self.lib = ctypes.CDLL(tw_lattice.__file__)
        self.lib.AES_init_ctx_iv.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
        for name in ("AES_CBC_encrypt_buffer", "AES_CBC_decrypt_buffer"):
            getattr(self.lib, name).argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        self.lib.tw_lattice_sha256.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
        self.lib.tw_lattice_implementations.restype = ctypes.c_char_p
        self.ctx = ctypes.create_string_buffer(192)
        self.digest = ctypes.create_string_buffer(32)

    def implementations(self):
        return self.lib.tw_lattice_implementations().decode()

    def aes(self, name, size):
        """A call of the named buffer function over `size` bytes, on a fresh context."""
        key, iv, buf = os.urandom(16), os.urandom(16), ctypes.create_string_buffer(size)
        function = getattr(self.lib, name)

        def call():
            self.lib.AES_init_ctx_iv(self.ctx, key, iv)
            function(self.ctx, buf, size)

        return call

    def sha256(self, data):
        return lambda: self.lib.tw_lattice_sha256(data, len(data), self.digest)


# ------------------------------------------------------------------ tokens


def tokens():
    from cryptography.fernet import Fernet

    core = CoreFunctions()
    key = Fernet.generate_key()
    ours, theirs = tw_lattice.TwFernet(key), Fernet(key)
    print(f"Tokens ({core.implementations()}; ratio: how many times faster)")
    for size, number in ((KIB, 2000), (MIB, 4)):
        data = os.urandom(size)
        token = ours.encrypt(data)
        assert theirs.decrypt(token) == data and ours.decrypt(theirs.encrypt(data)) == data
        rounds = alternate_rounds(
            {
                "theirs encrypt": lambda: theirs.encrypt(data),
                "ours encrypt": lambda: ours.encrypt(data),
                "theirs decrypt": lambda: theirs.decrypt(token),
                "ours decrypt": lambda: ours.decrypt(token),
            },
            number,
        )
        # Small tokens by the median: a single fast round says little about a call this short.
        pick = statistics.median if size == KIB else min
        times = {name: pick(seconds) for name, seconds in rounds.items()}
        for direction in ("encrypt", "decrypt"):
            mine, ref = times[f"ours {direction}"], times[f"theirs {direction}"]
            line(f"cryptography Fernet.{direction} {size_label(size)}", ref, size)
            line(f"TwFernet.{direction} {size_label(size)}", mine, size)
            goal = {(MIB, "encrypt"): "fernet 1 MiB encrypt", (KIB, "encrypt"): "fernet 1 KiB"}.get(
                (size, direction), "fernet 1 KiB" if size == KIB else "fernet"
            )
            ratio(
                f"TwFernet.{direction} {size_label(size)} vs cryptography",
                ref / mine,
                goal,
                f"{direction} {size_label(size)}",
            )
        if size == KIB:
            pure = reference.TwFernet(key)
            assert pure.decrypt(token) == data
            slow = alternate(
                {"encrypt": lambda: pure.encrypt(data), "decrypt": lambda: pure.decrypt(token)}, 3, rounds=2
            )
            for direction in ("encrypt", "decrypt"):
                line(f"pure-Python {direction} {size_label(size)}", slow[direction], size)
                ratio(
                    f"TwFernet.{direction} vs pure Python",
                    slow[direction] / times[f"ours {direction}"],
                    "pure",
                    direction,
                )
        else:
            floors(core, ours, data, token)


def floors(core, ours, data, token):
    """1 MiB against the work that cannot be avoided: the serial CBC chain for
    encryption, SHA-256 over the body for decryption; measured in rounds of
    their own, so that each ratio compares figures taken side by side."""
    padded = len(data) // 16 * 16 + 16
    body = base64.urlsafe_b64decode(token)[:-32]
    times = alternate(
        {
            "encrypt": lambda: ours.encrypt(data),
            "aes": core.aes("AES_CBC_encrypt_buffer", padded),
            "decrypt": lambda: ours.decrypt(token),
            "hashlib": lambda: hashlib.sha256(body).digest(),
            "core": core.sha256(body),
        },
        4,
        rounds=ROUNDS * 2,
    )
    line("TwFernet.encrypt 1 MiB", times["encrypt"], len(data))
    line("AES-128-CBC encryption alone, 1 MiB (C functions)", times["aes"], padded)
    ratio("TwFernet.encrypt 1 MiB / AES-CBC encryption alone", times["encrypt"] / times["aes"], "cbc floor")
    line("TwFernet.decrypt 1 MiB", times["decrypt"], len(data))
    line("SHA-256 alone over the token body (hashlib)", times["hashlib"], len(body))
    line("SHA-256 alone over the token body (this module)", times["core"], len(body))
    ratio(
        "TwFernet.decrypt 1 MiB / SHA-256 alone (hashlib)",
        times["decrypt"] / times["hashlib"],
        "sha floor",
        "hashlib's SHA-256",
    )
    ratio(
        "TwFernet.decrypt 1 MiB / SHA-256 alone (this module)",
        times["decrypt"] / times["core"],
        "sha floor",
        "this module's SHA-256",
    )


KEY = base64.urlsafe_b64encode(bytes(range(32)))


# ----------------------------------------------------------- key derivation

CHAIN_SOURCE = r"""
// The floor of PBKDF2-HMAC-SHA256 with 100,000 iterations: 200,000 SHA-256
// compressions in a serial chain, each hashing the previous digest with the
// padding of a 96-byte message, on the x86-64 SHA instructions.
#include <immintrin.h>
#include <cstdint>

alignas(16) static const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

extern "C" __attribute__((target("sha,sse4.1"))) unsigned chain(long count) {
    const __m128i low = _mm_set_epi32(0, 0, 0, (int)0x80000000u), high = _mm_set_epi32(96 * 8, 0, 0, 0);
    const __m128i start_abef = _mm_set1_epi32(1), start_cdgh = _mm_set1_epi32(2);
    __m128i abef = start_abef, cdgh = start_cdgh;
    for (long n = 0; n < count; ++n) {
        __m128i m[4] = {_mm_shuffle_epi32(_mm_unpackhi_epi64(abef, cdgh), 0xb1),
                        _mm_shuffle_epi32(_mm_unpacklo_epi64(abef, cdgh), 0xb1), low, high};
        __m128i a = start_abef, c = start_cdgh;
#pragma GCC unroll 16
        for (int q = 0; q < 16; ++q) {
            if (q >= 4) {
                __m128i& w = m[q % 4];
                const __m128i previous = m[(q + 3) % 4];
                w = _mm_sha256msg1_epu32(w, m[(q + 1) % 4]);
                w = _mm_add_epi32(w, _mm_alignr_epi8(previous, m[(q + 2) % 4], 4));
                w = _mm_sha256msg2_epu32(w, previous);
            }
            const __m128i k = _mm_add_epi32(m[q % 4], _mm_load_si128((const __m128i*)(K + 4 * q)));
            c = _mm_sha256rnds2_epu32(c, a, k);
            a = _mm_sha256rnds2_epu32(a, c, _mm_shuffle_epi32(k, 0x0e));
        }
        abef = _mm_add_epi32(a, start_abef);
        cdgh = _mm_add_epi32(c, start_cdgh);
    }
    return (unsigned)_mm_cvtsi128_si32(abef);
}
"""


def chain_floor(scratch):
    """A call of 200,000 chained SHA-256 compressions, or None where this
    machine cannot build or run it (no g++, no SHA extensions)."""
    cpu = Path("/proc/cpuinfo")
    if not (cpu.exists() and re.search(r"\bsha_ni\b", cpu.read_text())):
        return None
    source, library = scratch / "chain.cpp", scratch / "chain.so"
    source.write_text(CHAIN_SOURCE)
    built = subprocess.run(["g++", "-O2", "-shared", "-fPIC", "-o", str(library), str(source)], capture_output=True)
    if built.returncode != 0:
        return None
    chain = ctypes.CDLL(str(library)).chain
    chain.argtypes, chain.restype = [ctypes.c_long], ctypes.c_uint
    return lambda: chain(200000)


def derivations():
    secret = "a reasonably long secret"
    box = tw_lattice.tw_lattice(secret)
    data = os.urandom(KIB)
    sealed = box.encrypt_data(data, "reports/q3.pdf")
    assert box.decrypt_data(sealed, "q3.pdf") == data
    password = secret.encode()
    salts = {size: os.urandom(size) for size in (15, 5, 16)}
    times = alternate(
        {
            "construction": lambda: tw_lattice.tw_lattice(secret),
            "pbkdf2 15": lambda: hashlib.pbkdf2_hmac("sha256", password, salts[15], 100000, 32),
            "string_to_secret_key": lambda: box.string_to_secret_key(secret),
            "pbkdf2 5": lambda: hashlib.pbkdf2_hmac("sha256", password, salts[5], 100000, 32),
            "encrypt_data v2": lambda: box.encrypt_data(data, "reports/q3.pdf"),
            "decrypt_data v2": lambda: box.decrypt_data(sealed, "q3.pdf"),
            "pbkdf2 16": lambda: hashlib.pbkdf2_hmac("sha256", password, salts[16], 100000, 32),
        },
        1,
        rounds=5 if QUICK else 12,
    )
    print("Key derivation (PBKDF2-HMAC-SHA256, 100000 iterations, 32 bytes)")
    with scratch_folder("tidewing-bench-chain-") as scratch:
        floor = chain_floor(scratch)
        if floor is None:
            print("  the serial SHA-256 chain: not measured here (needs g++ and the x86-64 SHA extensions)")
        else:
            rounds = alternate_rounds(
                {
                    "floor": floor,
                    "construction": lambda: tw_lattice.tw_lattice(secret),
                    "string_to_secret_key": lambda: box.string_to_secret_key(secret),
                    "encrypt_data v2": lambda: box.encrypt_data(data, "reports/q3.pdf"),
                },
                1,
                rounds=5,
            )
            medians = {name: statistics.median(seconds) for name, seconds in rounds.items()}
            line("the serial SHA-256 chain, 200,000 compressions", medians["floor"])
            for name in ("construction", "string_to_secret_key", "encrypt_data v2"):
                line(f"tw_lattice {name}", medians[name])
                ratio(f"{name} / the chain", medians[name] / medians["floor"], "chain floor", name)
    for name, salt in (
        ("construction", 15),
        ("string_to_secret_key", 5),
        ("encrypt_data v2", 16),
        ("decrypt_data v2", 16),
    ):
        bare = times[f"pbkdf2 {salt}"]
        line(f"hashlib.pbkdf2_hmac, {salt}-byte salt", bare)
        line(f"tw_lattice {name}", times[name])
        ratio(f"{name} vs hashlib.pbkdf2_hmac", bare / times[name], "derivation", name)


# ------------------------------------------------------------------- memory


def status_kib(field):
    return int(re.search(rf"^{field}:\s+(\d+) kB", Path("/proc/self/status").read_text(), re.M).group(1))


def peak_beyond_input(direction, mib):
    """In this (fresh) process: the peak resident memory one call adds beyond
    its input, in multiples of the payload."""
    cipher = tw_lattice.TwFernet(KEY)
    payload = os.urandom(mib * MIB)
    argument = cipher.encrypt(payload) if direction == "decrypt" else payload
    del payload
    gc.collect()
    before = status_kib("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # restart the high-water mark here
    result = getattr(cipher, direction)(argument)
    peak = status_kib("VmHWM")
    assert len(result) > 0
    return (peak - before) * 1024 / (mib * MIB)


def memory():
    print("Peak memory of one call on 64 MiB, beyond the input (fresh process each)")
    for direction in ("encrypt", "decrypt"):
        out = subprocess.run(
            [sys.executable, __file__, "--peak", direction, "64"], capture_output=True, text=True, check=True
        )
        ratio(f"TwFernet.{direction} peak / payload", float(out.stdout), f"peak {direction}")


# ------------------------------------------------------------ portable paths


def forwarding(module):
    """A stand-in that forwards to the module's own functions: the module's
    names are rebound, so every call goes through Python's standard modules."""
    return types.SimpleNamespace(**vars(module))


def route_times():
    """Native route against the calls through the standard modules, measured in this process."""
    data = {KIB: os.urandom(KIB), MIB: os.urandom(MIB)}
    cipher = tw_lattice.TwFernet(KEY)
    token = {size: cipher.encrypt(value) for size, value in data.items()}
    names = ("base64", "hashlib", "hmac_mod", "os", "struct", "time_module")
    native = {name: getattr(tw_lattice, name) for name in names}
    stand_ins = {name: forwarding(module) for name, module in native.items()}

    def through_python(call):
        def run():
            for name, stand_in in stand_ins.items():
                setattr(tw_lattice, name, stand_in)
            try:
                call()
            finally:
                for name, module in native.items():
                    setattr(tw_lattice, name, module)

        return run

    contenders = {}
    for size, number in ((KIB, 300), (MIB, 1)):
        for direction, argument in (("encrypt", data[size]), ("decrypt", token[size])):
            call = (lambda f, a, n: lambda: [f(a) for _ in range(n)])(getattr(cipher, direction), argument, number)
            contenders[f"{direction} {size_label(size)} native"] = call
            contenders[f"{direction} {size_label(size)} through Python"] = through_python(call)
    secret = "a reasonably long secret"
    contenders["tw_lattice() native"] = lambda: tw_lattice.tw_lattice(secret)
    contenders["tw_lattice() through Python"] = through_python(lambda: tw_lattice.tw_lattice(secret))
    return alternate(contenders, 1, rounds=3 if QUICK else 7)


def portable():
    env = dict(
        os.environ,
        TW_LATTICE_PORTABLE_AES="1",
        TW_LATTICE_PORTABLE_SHA="1",
        OPENSSL_ia32cap="~0x200000200000000:~0x20000000",
    )
    out = subprocess.run(
        [sys.executable, __file__, "--routes"] + (["--quick"] if QUICK else []),
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    lines = out.stdout.splitlines()
    times = json.loads(lines[-1])
    print(f"Portable paths ({lines[0]}, OpenSSL without AES-NI and SHA-NI): native route vs Python's standard modules")
    for what in ("encrypt 1 KiB", "decrypt 1 KiB", "encrypt 1 MiB", "decrypt 1 MiB", "tw_lattice()"):
        line(f"{what}, through Python", times[f"{what} through Python"])
        line(f"{what}, native route", times[f"{what} native"])
        ratio(
            f"{what}: through Python / native",
            times[f"{what} through Python"] / times[f"{what} native"],
            "routes",
            what,
        )


# --------------------------------------------------------------- block cipher


def aes_seconds_per_mib():
    core = CoreFunctions()
    return alternate({name: core.aes(name, MIB) for name in ("AES_CBC_encrypt_buffer", "AES_CBC_decrypt_buffer")}, 4)


def block_cipher():
    here = aes_seconds_per_mib()
    child = subprocess.run(
        [sys.executable, __file__, "--aes-json"],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, TW_LATTICE_PORTABLE_AES="1"),
    )
    portable_aes = json.loads(child.stdout)
    key, iv, data = os.urandom(16), os.urandom(16), os.urandom(4 * KIB)
    assert reference.cbc_decrypt(key, iv, reference.cbc_encrypt(key, iv, data)) == data
    scale = MIB / len(data)
    python = alternate(
        {
            "encrypt": lambda: reference.cbc_encrypt(key, iv, data),
            "decrypt": lambda: reference.cbc_decrypt(key, iv, data),
        },
        1,
        rounds=2,
    )
    print("AES-128-CBC over 1 MiB through the C functions (pure Python measured on 4 KiB, scaled)")
    for direction in ("encrypt", "decrypt"):
        name = f"AES_CBC_{direction}_buffer"
        line(f"pure-Python {direction}", python[direction] * scale, MIB)
        line(f"portable {direction}", portable_aes[name], MIB)
        line(f"hardware {direction}", here[name], MIB)
        ratio(f"hardware {direction} vs portable", portable_aes[name] / here[name], "hardware", direction)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--aes-json"]:
        json.dump(aes_seconds_per_mib(), sys.stdout)
    elif sys.argv[1:2] == ["--peak"]:
        print(peak_beyond_input(sys.argv[2], int(sys.argv[3])))
    elif sys.argv[1:2] == ["--routes"]:
        print(CoreFunctions().implementations())
        print(json.dumps(route_times()))
    else:
        tokens()
        derivations()
        memory()
        portable()
        block_cipher()
        sys.exit(CARD.report())
