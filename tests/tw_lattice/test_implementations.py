"""Which AES and SHA-256 paths the module takes: the processor's instructions
where the operating system reports them (x86-64: the cpuinfo flags; arm64
Linux: the auxiliary vector's HWCAP_AES and HWCAP_SHA2), the portable ones
where it does not or where TW_LATTICE_PORTABLE_AES / TW_LATTICE_PORTABLE_SHA
ask for them, each setting on its own. The exported AES_* functions and the
digests answer through the path named here."""

import ctypes
import json
import os
import platform
import subprocess
import sys

import pytest

SETTINGS = {"aes": "TW_LATTICE_PORTABLE_AES", "sha256": "TW_LATTICE_PORTABLE_SHA"}

# getauxval(AT_HWCAP) bits on arm64 Linux (the kernel's asm/hwcap.h).
AT_HWCAP, HWCAP_AES, HWCAP_SHA2 = 16, 1 << 3, 1 << 6


def processor_has():
    """{"aes": bool, "sha256": bool}: the instructions the module may use here."""
    machine = platform.machine().lower()
    if machine in ("x86_64", "amd64") and sys.platform == "linux":
        with open("/proc/cpuinfo") as cpuinfo:
            flags = next(line for line in cpuinfo if line.startswith("flags")).split()
        return {"aes": "aes" in flags, "sha256": "sha_ni" in flags and "sse4_1" in flags}
    if machine in ("aarch64", "arm64") and sys.platform == "linux":
        getauxval = ctypes.CDLL(None).getauxval
        getauxval.restype, getauxval.argtypes = ctypes.c_ulong, [ctypes.c_ulong]
        hwcap = getauxval(AT_HWCAP)
        return {"aes": bool(hwcap & HWCAP_AES), "sha256": bool(hwcap & HWCAP_SHA2)}
    pytest.skip(f"no feature check for {machine} on {sys.platform}")


def expected(environment, available):
    def portable_requested(variable):
        return environment.get(variable, "") not in ("", "0")

    return {
        name: "hardware" if available[name] and not portable_requested(variable) else "portable"
        for name, variable in SETTINGS.items()
    }


def chosen(implementations):
    """ "aes=hardware sha256=portable base64=..." as a dict."""
    return dict(field.split("=") for field in implementations.split())


def test_this_process_took_the_paths_its_processor_and_settings_give(core):
    found = chosen(core.implementations())
    assert {name: found[name] for name in SETTINGS} == expected(os.environ, processor_has())


@pytest.mark.parametrize("aes, sha", [("1", ""), ("", "1"), ("0", "0"), ("yes", None)])
def test_each_setting_is_read_on_its_own_at_import(aes, sha):
    environment = {name: value for name, value in os.environ.items() if name not in SETTINGS.values()}
    for variable, value in zip(SETTINGS.values(), (aes, sha)):
        if value is not None:
            environment[variable] = value
    environment["PYTHONPATH"] = os.pathsep.join(sys.path)
    script = (
        "import ctypes, json\nfrom tidewing_lattice import tw_lattice\n"
        "lib = ctypes.CDLL(tw_lattice.__file__)\n"
        "lib.tw_lattice_implementations.restype = ctypes.c_char_p\n"
        "print(json.dumps(lib.tw_lattice_implementations().decode()))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True, text=True, check=True)
    found = chosen(json.loads(out.stdout))
    assert {name: found[name] for name in SETTINGS} == expected(environment, processor_has())


def test_the_exported_functions_answer_on_the_chosen_path(core, portable_core):
    # A key schedule and a few blocks that every path must agree on, through
    # AES_init_ctx_iv / AES_CBC_*_buffer and the digest exports, here and in a
    # child on the portable paths.
    key, iv, data = bytes(range(16)), bytes(range(16, 32)), bytes(range(256)) * 3
    calls = [
        ["aes_case", key.hex(), iv.hex(), data.hex()],
        ["sha256", data.hex()],
        ["pbkdf2", key.hex(), iv.hex(), 1000, 48],
    ]
    implementations, portable = portable_core(calls)
    assert chosen(implementations)["aes"] == chosen(implementations)["sha256"] == "portable"
    here = [
        [v.hex() for v in core.aes_case(key, iv, data)],
        core.sha256(data).hex(),
        core.pbkdf2(key, iv, 1000, 48).hex(),
    ]
    assert here == portable
