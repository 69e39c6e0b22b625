"""URL-safe base64: the core's encoder and canonical decoder against the
standard library; CPython 3.10's reading of any text, which the native route
keeps on every release (releases.py), against its written-out version and,
where the interpreter reads as 3.10 does, against the interpreter; and keys
and tokens decoded that way natively, and by the host's decoder on the
documented steps."""

import base64
import binascii
import random
import re
import warnings

import pytest
import releases

from reference import base64_310

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


def read_by(decoder, text):
    """What `decoder` gives for `text`, or "error" (a warning raises here, as pytest is set up)."""
    try:
        return decoder(text)
    except Exception:
        return "error"


def as_310(text):
    return read_by(base64_310.urlsafe_b64decode, text)


def corpus(seed, sizes):
    """Encodings of random bytes, each with its mutations, and random short texts."""
    rng = random.Random(seed)
    texts = []
    for size in sizes:
        text = base64.urlsafe_b64encode(rng.randbytes(size))
        texts += mutations(rng, text) + [bytes(rng.choice(b"AZaz09-_+/=\n .") for _ in range(rng.randrange(12)))]
    return texts


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
            assert fast == as_310(variant), variant


def test_any_text_reads_as_on_310(core):
    texts = [b"aGk=aGk=", b"AAA=A", b"YWJjYQ", b"YWJjYQ=", b"Y=WJj", b"===="] + corpus(310, range(0, 200, 7))
    for text in texts:
        expected = as_310(text)
        native = core.b64decode_310(text)
        assert (native if isinstance(native, bytes) else "error") == expected, text
        if releases.BASE64_READS_AS_310:  # the written-out reading is the interpreter's own here
            assert read_by(base64.urlsafe_b64decode, text) == expected, text


def key_outcome(decoder, value):
    """TwFernet(value) as its steps give it with `decoder`: the key halves, or the error."""
    raw = decoder(value.encode() if isinstance(value, str) else value)
    if len(raw) != 32:
        raise ValueError("Fernet key must be 32 url-safe base64-encoded bytes.")
    return raw[:16], raw[16:]


def test_keys_decode_as_on_310_natively_and_by_the_host_decoder_by_steps(lattice, documented_steps, outcome):
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
        assert native == outcome(key_outcome, base64_310.urlsafe_b64decode, candidate), candidate
        with documented_steps():
            assert outcome(load, candidate) == native, candidate
        own = base64.urlsafe_b64decode
        with documented_steps(own):
            assert outcome(load, candidate) == outcome(key_outcome, own, candidate), candidate


def token_outcome(cipher, outcome, decoder, value):
    """decrypt(value) as its steps give it with `decoder`: any failure to decode is "Cannot decode token"."""
    try:
        raw = decoder(value.encode() if isinstance(value, str) else value)
    except Exception:
        return "InvalidToken", "Cannot decode token"
    return outcome(cipher.decrypt, base64.urlsafe_b64encode(raw))


@pytest.mark.parametrize("as_text", [False, True])
def test_tokens_decode_as_on_310_natively_and_by_the_host_decoder_by_steps(lattice, documented_steps, outcome, as_text):
    rng = random.Random(as_text)
    cipher = lattice.TwFernet(lattice.TwFernet.generate_key())
    own = base64.urlsafe_b64decode
    for size in (0, 15, 16, 100, 1000):
        token = cipher.encrypt(rng.randbytes(size))
        for variant in mutations(rng, token):
            value = variant.decode("latin-1") if as_text else variant
            native = outcome(cipher.decrypt, value)
            assert native == token_outcome(cipher, outcome, base64_310.urlsafe_b64decode, value), variant
            with documented_steps():
                assert outcome(cipher.decrypt, value) == native, variant
            with documented_steps(own):
                assert outcome(cipher.decrypt, value) == token_outcome(cipher, outcome, own, value), variant


def test_tokens_that_later_releases_read_otherwise_keep_their_310_verdict(lattice, maker):
    cipher = lattice.TwFernet(maker.key)
    good = cipher.encrypt(b"sixteen bytes!!!")  # 89 bytes: one "=" of padding
    alternate = good.replace(b"-", b"+").replace(b"_", b"/")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert cipher.decrypt(good + b"AAAA") == b"sixteen bytes!!!"  # decoded on after the pad from 3.14
        assert cipher.decrypt(alternate) == b"sixteen bytes!!!"  # a FutureWarning from 3.15
        with pytest.raises(lattice.InvalidToken, match="^Cannot decode token$") as refused:
            cipher.decrypt(good.rstrip(b"="))  # accepted unpadded from 3.15
    assert caught == []
    assert type(refused.value.__context__) is binascii.Error
    assert str(refused.value.__context__) == "Incorrect padding"
    with pytest.raises(binascii.Error, match=r"number of data characters \(5\) cannot be 1 more"):
        lattice.TwFernet(b"AAAAA")
