"""AES-128-CBC through the exported C functions against NIST's AESAVS
response files in the shared test data (aes/CBC*128.rsp): the known-answer
files (GFSbox, KeySbox, VarKey, VarTxt), the multi-block messages (MMT) and
the Monte Carlo chains (MCT), in both directions. These files are not part
of the usual shared set, so each test is skipped when its file is absent,
under CI too."""

import pytest
from shared_data import optional_shared_path


def aesavs_text(name):
    return optional_shared_path("aes", name).read_text(encoding="utf-8")


KNOWN_ANSWER_FILES = ["CBCGFSbox128.rsp", "CBCKeySbox128.rsp", "CBCVarKey128.rsp", "CBCVarTxt128.rsp", "CBCMMT128.rsp"]


def sections(text):
    """{"ENCRYPT": [record, ...], "DECRYPT": [...]} of a response file, each record
    its "NAME = hex" lines as bytes by lower-case name (COUNT as an int)."""
    found, section, record = {}, None, {}
    for line in text.splitlines() + [""]:
        line = line.strip()
        if record and (not line or line.startswith("[")):
            found.setdefault(section, []).append(record)
            record = {}
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
        elif line and not line.startswith("#") and " = " in line:
            field, _, value = line.partition(" = ")
            record[field.lower()] = int(value) if field == "COUNT" else bytes.fromhex(value)
    assert set(found) == {"ENCRYPT", "DECRYPT"}
    return found


@pytest.mark.parametrize("name", KNOWN_ANSWER_FILES)
def test_known_answers_and_multi_block_messages(core, name):
    for direction, records in sections(aesavs_text(name)).items():
        for record in records:
            key, iv, plaintext, ciphertext = (record[f] for f in ("key", "iv", "plaintext", "ciphertext"))
            ctx = core.context(key, iv)
            if direction == "ENCRYPT":
                assert core.cbc("encrypt", ctx, plaintext) == ciphertext, (name, direction, record["count"])
                assert ctx.raw[176:] == ciphertext[-16:]
            else:
                assert core.cbc("decrypt", ctx, ciphertext) == plaintext, (name, direction, record["count"])
                assert ctx.raw[176:] == ciphertext[-16:]


def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))


def monte_carlo_round(core, direction, key, iv, first):
    """One checkpoint of the AESAVS CBC Monte Carlo test: 1000 blocks chained
    through one context, each input the output two blocks back (the IV for the
    second); returns the last two outputs."""
    ctx = core.context(key, iv)
    outputs, block = [], first
    for j in range(1000):
        outputs.append(core.cbc(direction, ctx, block))
        block = iv if j == 0 else outputs[j - 1]
    return outputs[-2], outputs[-1]


@pytest.mark.parametrize("direction", ["ENCRYPT", "DECRYPT"])
def test_monte_carlo(core, direction):
    records = sections(aesavs_text("CBCMCT128.rsp"))[direction]
    assert len(records) == 100
    given, wanted = ("plaintext", "ciphertext") if direction == "ENCRYPT" else ("ciphertext", "plaintext")
    key, iv, block = records[0]["key"], records[0]["iv"], records[0][given]
    for record in records:
        assert (record["key"], record["iv"], record[given]) == (key, iv, block), record["count"]
        before_last, last = monte_carlo_round(core, direction.lower(), key, iv, block)
        assert last == record[wanted], record["count"]
        key, iv, block = xor(key, last), last, before_last
