"""tw_lattice: the secret's limits, strings, version-1 and version-2 data, keys
made from strings, argument types, and the key derivations."""

import base64
import hashlib
from pathlib import Path

import pytest
from cryptography.fernet import Fernet

SECRET = "correct horse battery"

# Made once by this module; they must keep decrypting in every later build.
PINNED_SECRET = "pinned secret 1"
PINNED_STRING = (
    "gAAAAABrGQCxZCtsUaB1s4i_aWZyQsDiqogZWfAFqZhmQDuh7Mt1b4fVwLhRIvhnDLdxgqkljal2_CYU-jk-C221wNtUECbnQ_G3Q_AW"
    "66G1MD6Eu6lscAM="
)
PINNED_FILE = (
    b"TWEV2:gAAAAABrGQCx1hoje5_Tezt9jZin28oTY-L82pKWWi_PKO8v3W1vQtD_iVDMR8hP9XZUOie1X7pbHzR0MfrYV3ILk7KAAicweQ=="
)
PINNED_KEY = ("pinned input", "Z0NBvoR-c2u_m7sWMXw1oWAtfP2qc6Cxi26Nnk4qe40=")


@pytest.fixture(scope="module")
def box():
    from tidewing_lattice import tw_lattice

    return tw_lattice.tw_lattice(SECRET)  # each construction costs a 100000-round derivation


def test_values_stored_by_earlier_builds_still_decrypt(lattice):
    box = lattice.tw_lattice(PINNED_SECRET)
    assert box.decrypt_string(PINNED_STRING) == "stored by an earlier build"
    assert box.decrypt_data(PINNED_FILE, "elsewhere/notes.txt") == b"file contents"
    assert box.string_to_secret_key(PINNED_KEY[0]) == PINNED_KEY[1]


@pytest.mark.parametrize(
    "secret, message",
    [
        ("", "Secret key cannot be empty"),
        ("7 chars", "Secret key must be at least 8 characters"),
        ("x" * 513, "Secret key too long"),
    ],
)
def test_secret_limits(lattice, secret, message):
    with pytest.raises(ValueError) as caught:
        lattice.tw_lattice(secret)
    assert str(caught.value) == message


def test_secret_bounds_accepted_and_shared(lattice, box):
    # 8 and 512 characters pass; characters are counted, not bytes.
    assert lattice.tw_lattice("8 chars!").encrypt_string("x")
    assert lattice.tw_lattice("é" * 512).encrypt_string("x")
    twin = lattice.tw_lattice(SECRET)
    assert twin.decrypt_string(box.encrypt_string("shared")) == "shared"
    assert box.decrypt_data(twin.encrypt_data(b"shared")) == b"shared"


def test_strings(box, lattice):
    token = box.encrypt_string("naïve ☃")
    assert type(token) is str and box.decrypt_string(token) == "naïve ☃"
    for empty in (None, ""):
        with pytest.raises(ValueError, match="^Cannot encrypt empty string$"):
            box.encrypt_string(empty)
    other = lattice.TwFernet(Fernet.generate_key())
    not_utf8 = box.encrypt_data(b"\xff").decode()  # a good token whose plaintext does not decode
    for text in (None, "", "not a token", "\udc80", other.encrypt(b"x").decode(), not_utf8):
        assert box.decrypt_string(text) is None


def test_version_1_data(box):
    data = box.encrypt_data(b"\x00payload")
    assert not box.is_v2_data(data) and data.startswith(b"gAAAAA")
    # A plain token: decrypts with no file name, and ignores one given.
    assert box.decrypt_data(data) == box.decrypt_data(data, "any.txt") == b"\x00payload"
    assert not box.is_v2_data(box.encrypt_data(b"x", ""))  # an empty name counts as none
    for empty in (None, b""):
        assert box.decrypt_data(empty) is None
        with pytest.raises(ValueError, match="^Cannot encrypt empty data$"):
            box.encrypt_data(empty, "a.txt")


def test_version_2_data_is_bound_to_the_base_name(box, lattice, tmp_path):
    data = box.encrypt_data(b"report", str(tmp_path / "one" / "a.txt"))
    assert data.startswith(b"TWEV2:") and box.is_v2_data(data)
    assert box.decrypt_data(data, "/elsewhere/a.txt") == b"report"
    with pytest.raises(lattice.InvalidToken, match="^HMAC verification failed$"):
        box.decrypt_data(data, str(tmp_path / "one" / "a.txt.bak"))
    for missing in (None, ""):
        with pytest.raises(ValueError, match="^V2 encrypted data requires filename parameter for decryption$"):
            box.decrypt_data(data, missing)
    with pytest.raises(lattice.InvalidToken):  # the object's own key is not a file key
        box.decrypt_data(b"TWEV2:" + box.encrypt_data(b"report"), "a.txt")


@pytest.mark.parametrize(
    "data, expected",
    [
        (None, False),
        (b"", False),
        (b"TWEV2", False),
        (b"TWEV2:", True),
        (b"TWEV2:gAAA", True),
        (b"gAAAA", False),
    ],
)
def test_is_v2_data(box, data, expected):
    assert box.is_v2_data(data) is expected


def test_keys_from_strings(box, lattice):
    key = box.string_to_secret_key("x" * 1024)
    assert len(key) == 44 and key == box.string_to_secret_key("x" * 1024)
    assert key != box.string_to_secret_key("x" * 1023)
    token = lattice.TwFernet(key).encrypt("secret text").decode()
    assert box.secret_key_to_string(key, token) == "secret text"
    assert Fernet(key).decrypt(token) == b"secret text"
    with pytest.raises(ValueError, match="^Input string too long$"):
        box.string_to_secret_key("x" * 1025)
    for empty in (None, ""):
        with pytest.raises(ValueError, match="^Input string cannot be empty$"):
            box.string_to_secret_key(empty)


@pytest.mark.parametrize(
    "key, token",
    [
        (None, "x"),
        ("", "x"),
        ("key", None),
        ("key", ""),
        ("not a key", "x"),
        (base64.urlsafe_b64encode(bytes(32)).decode(), "not a token"),
        (
            base64.urlsafe_b64encode(bytes(32)).decode(),
            Fernet(base64.urlsafe_b64encode(bytes(32))).encrypt(b"\xff").decode(),
        ),
    ],
)
def test_secret_key_to_string_failures_are_none(box, key, token):
    assert box.secret_key_to_string(key, token) is None


@pytest.mark.parametrize(
    "call",
    [
        lambda box: box.encrypt_string(b"bytes"),
        lambda box: box.decrypt_string(b"bytes"),
        lambda box: box.encrypt_data("str"),
        lambda box: box.encrypt_data(bytearray(b"x")),
        lambda box: box.encrypt_data(b"x", filename=Path("a.txt")),
        lambda box: box.decrypt_data("str"),
        lambda box: box.decrypt_data(b"", filename=1),
        lambda box: box.is_v2_data("TWEV2:"),
        lambda box: box.string_to_secret_key(1),
        lambda box: box.secret_key_to_string(b"key", "token"),
        lambda box: box.secret_key_to_string("key", b"token"),
    ],
)
def test_wrong_argument_types(box, call):
    with pytest.raises(TypeError):
        call(box)


@pytest.mark.parametrize("secret", [None, b"12345678", 12345678])
def test_secret_must_be_str(lattice, secret):
    with pytest.raises(TypeError, match="^tw_lattice\\(\\) argument 'secret_key' must be str"):
        lattice.tw_lattice(secret)


def test_no_attributes_are_visible(box):
    assert [name for name in dir(box) if not name.startswith("__")] == [
        "decrypt_data",
        "decrypt_string",
        "encrypt_data",
        "encrypt_string",
        "is_v2_data",
        "secret_key_to_string",
        "string_to_secret_key",
    ]
    with pytest.raises(AttributeError):
        box.fernet = None
    with pytest.raises(TypeError):
        vars(box)


class HashlibRecorder:
    """Records the hashlib calls the module makes."""

    def __init__(self):
        self.pbkdf2, self.sha256_inputs = [], []

    def pbkdf2_hmac(self, *args):
        self.pbkdf2.append(args)
        return hashlib.pbkdf2_hmac(*args)

    def sha256(self, data=b""):
        self.sha256_inputs.append(bytes(data))
        return hashlib.sha256(data)


def test_key_derivations(lattice, monkeypatch):
    recorder = HashlibRecorder()
    monkeypatch.setattr(lattice, "hashlib", recorder)
    box = lattice.tw_lattice(SECRET)
    [(name, password, main_salt, rounds, size)] = recorder.pbkdf2
    assert (name, password, len(main_salt), rounds, size) == ("sha256", SECRET.encode(), 15, 100000, 32)
    own_key = base64.urlsafe_b64encode(hashlib.pbkdf2_hmac("sha256", SECRET.encode(), main_salt, 100000, 32))
    assert lattice.TwFernet(own_key).decrypt(box.encrypt_string("own")) == b"own"

    recorder.pbkdf2.clear()
    key = box.string_to_secret_key("ünïcode")
    [(_, password, string_salt, rounds, size)] = recorder.pbkdf2
    assert (password, len(string_salt), rounds, size) == ("ünïcode".encode(), 5, 100000, 32)
    assert key == base64.urlsafe_b64encode(hashlib.pbkdf2_hmac("sha256", password, string_salt, 100000, 32)).decode()

    recorder.pbkdf2.clear()
    recorder.sha256_inputs.clear()
    data = box.encrypt_data(b"filed", "/some/dir/a.txt")
    salt_input = next(s for s in recorder.sha256_inputs if s.startswith(SECRET.encode()))
    prefix = SECRET.encode() + b":a.txt:"
    assert salt_input.startswith(prefix) and len(salt_input) == len(prefix) + 8 + 1 + 7
    assert salt_input[len(prefix) + 8 : len(prefix) + 9] == b":"
    [(_, password, file_salt, rounds, size)] = recorder.pbkdf2
    assert (password, file_salt, rounds) == (SECRET.encode(), hashlib.sha256(salt_input).digest()[:16], 100000)
    file_key = base64.urlsafe_b64encode(hashlib.pbkdf2_hmac("sha256", password, file_salt, 100000, 32))
    assert Fernet(file_key).decrypt(data[6:]) == b"filed"

    # The constants exist in the shared object only in enciphered form.
    image = Path(lattice.__file__).read_bytes()
    pieces = [main_salt, string_salt, salt_input[len(prefix) : len(prefix) + 8], salt_input[-7:]]
    assert not any(piece in image for piece in pieces)
