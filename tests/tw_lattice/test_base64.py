"""URL-safe base64: the core's encoder and canonical decoder against the
standard library, and the module's decoding of keys and tokens, which gives
the standard decoder's result or error for every input, canonical or not."""

import base64
import random
import re

import pytest

URLSAFE = re.compile(rb"[A-Za-z0-9_\-+/]*")


def canonical(text):
    """Whole groups of four alphabet characters, at most two "=" at the end."""
    body = text[:-2] if text.endswith(b"==") else text[:-1] if text.endswith(b"=") else text
    return len(text) % 4 == 0 and URLSAFE.fullmatch(body) is not None


def mutations(rng, text):
    """Text the standard decoder reads leniently or rejects: stray and non-ASCII
    characters, whitespace, "=" anywhere, padding missing or added, the
    standard alphabet, cut short."""
    variants = [
        text + b"=",
        text + b"==",
        text.rstrip(b"="),
        text.replace(b"-", b"+").replace(b"_", b"/"),
        text[:-1],
        b"=" + text,
        text + b"\n",
        b" " + text,
    ]
    for _ in range(12):
        mutated = bytearray(text)
        for _ in range(rng.randrange(1, 3)):
            position = rng.randrange(len(mutated) + 1)
            mutated[position:position] = bytes([rng.choice(b"=\n \t.%*\x00\x80\xff~-_+/A")])
        variants.append(bytes(mutated))
        if text:
            variants.append(text[: rng.randrange(len(text))])
    return variants


def standard(text):
    try:
        return base64.urlsafe_b64decode(text)
    except ValueError:
        return "error"


def test_encoder_and_fast_decoder_match_the_standard_library(core):
    rng = random.Random(4648)
    for size in list(range(1101)) + [10000, 65537, (1 << 20) + 1]:
        data = rng.randbytes(size)
        text = base64.urlsafe_b64encode(data)
        assert core.b64encode(data) == text, size
        assert core.b64decode(text) == data, size  # canonical text takes the fast path
        assert core.b64decode(text.replace(b"-", b"+").replace(b"_", b"/")) == data, size


def test_the_fast_path_takes_canonical_text_only_and_never_disagrees(core):
    rng = random.Random(2024)
    variants = [b"QR==", b"QRS=", b"AB-_", b"AB+/"]  # unused bits in the last group are dropped
    for size in list(range(0, 300)) + [1000, 4096]:
        text = base64.urlsafe_b64encode(rng.randbytes(size))
        variants += mutations(rng, text) + [bytes(rng.randrange(256) for _ in range(rng.randrange(40)))]
    assert len(variants) > 5000
    for variant in variants:
        fast = core.b64decode(variant)
        assert (fast is not None) == canonical(variant), variant
        if fast is not None:
            assert fast == standard(variant), variant


def test_keys_decode_as_the_standard_decoder_says(lattice, documented_steps, outcome):
    rng = random.Random(32)
    key = base64.urlsafe_b64encode(rng.randbytes(32))
    candidates = mutations(rng, key) + [
        key.decode(),
        key.decode() + "é",
        "\udc80" + key.decode(),
        base64.urlsafe_b64encode(bytes(16)),
        b"",
        "a" * 200_000,
    ]

    def load(value):
        cipher = lattice.TwFernet(value)
        return cipher._signing_key, cipher._encryption_key

    for candidate in candidates:
        native = outcome(load, candidate)
        with documented_steps():
            assert outcome(load, candidate) == native, candidate
        if native[0] == "ok":
            raw = standard(candidate.encode() if isinstance(candidate, str) else candidate)
            assert native[1] == (raw[:16], raw[16:])


@pytest.mark.parametrize("as_text", [False, True])
def test_tokens_decode_as_the_standard_decoder_says(lattice, documented_steps, outcome, as_text):
    rng = random.Random(as_text)
    cipher = lattice.TwFernet(lattice.TwFernet.generate_key())
    for size in (0, 15, 16, 100, 1000):
        token = cipher.encrypt(rng.randbytes(size))
        for variant in mutations(rng, token):
            value = variant.decode("latin-1") if as_text else variant
            native = outcome(cipher.decrypt, value)
            with documented_steps():
                assert outcome(cipher.decrypt, value) == native, variant
            if standard(variant) == "error" and not as_text:
                assert native == ("InvalidToken", "Cannot decode token"), variant
