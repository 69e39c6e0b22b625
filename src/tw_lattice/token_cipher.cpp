// The token cipher: `InvalidToken` and `TwFernet`, ordinary Python classes
// whose methods are the C++ functions below.
//
// Two routes give the same tokens and the same errors in the same order.
// While every standard function a whole operation uses is the one bound at
// load and the keys are plain bytes, the one-pass route of the core runs
// (token_stream.h): encryption writes the final text straight into the
// result, decryption decodes once while hashing, checks the tag, then
// decrypts into the object it returns. Otherwise the steps run one
// by one (os.urandom, time.time, struct.pack, hmac, base64), each through the
// module's names as bound now (standard_calls.cpp); the block cipher, padding
// and layout are native on both routes.
#include <cstring>
#include <new>
#include <optional>

#include "common/classes.h"
#include "common/gil.h"
#include "tw_lattice/core/aes.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/token_stream.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"
#include "tw_lattice/token_keys.h"

namespace tw::lattice {
namespace {

using tw::lattice::Wiped;
using tw::py::steal_checked;
namespace token = tw::lattice::token;

// How far a token's timestamp may lie ahead of the clock when its age is checked.
constexpr long kMaxClockSkew = 60;

inline const Name signing_key_attr{"_signing_key"}, encryption_key_attr{"_encryption_key"};

// Raise InvalidToken(message), as `raise` inside an `except` block would when
// `context` is the exception being handled.
[[noreturn]] void raise_invalid_token(const char* message, nb::handle context = nb::handle()) {
    tw::py::raise_instance(ns[names::InvalidToken](message), context);
}

// A bytes value of exactly `size` bytes from a standard function's result.
nb::object exact_bytes(nb::object value, size_t size, const char* what) {
    if (!PyBytes_Check(value.ptr()) || bytes_size(value) != size) {
        tw::py::raise_format(PyExc_ValueError, "%s must be %zu bytes", what, size);
    }
    return value;
}

nb::object attribute(nb::handle self, const Name& name) {
    return steal_checked(PyObject_GetAttr(self.ptr(), name.key()));
}

// The AES key, `_encryption_key`: 16 bytes, copied out into `key` (which is
// wiped when it dies).
using EncryptionKey = Wiped<uint8_t[token::kKeySize]>;

void load_encryption_key(nb::handle self, EncryptionKey& key) {
    nb::object bytes =
        exact_bytes(attribute(self, encryption_key_attr), token::kKeySize, "_encryption_key");
    std::memcpy(key.value, bytes_data(bytes), sizeof key.value);
}

// Both keys, read up front for the one-pass route, which hashes while it
// decodes or encrypts. Reading them must not be seen to happen early: when it
// raises, or the keys are not plain bytes (the AES key 16 of them), the
// caller takes the steps one by one, which read them again in their turn.
// Read before the route is checked, since a host's attribute code could
// rebind the standard functions.
struct NativeKeys {
    nb::object signing_bytes, encryption_bytes;

    bool load(nb::handle self) {
        PyObject* signing_key = PyObject_GetAttr(self.ptr(), signing_key_attr.key());
        PyObject* encryption_key =
            signing_key ? PyObject_GetAttr(self.ptr(), encryption_key_attr.key()) : nullptr;
        signing_bytes = nb::steal(signing_key);
        encryption_bytes = nb::steal(encryption_key);
        if (!encryption_key) {
            PyErr_Clear();
            return false;
        }
        return PyBytes_Check(signing_key) && PyBytes_Check(encryption_key) &&
               bytes_size(encryption_key) == token::kKeySize;
    }

    // Once the route is known.
    std::shared_ptr<const ReadyKeys> ready(nb::handle self) const {
        return ready_keys(self, signing_bytes, encryption_bytes);
    }
};

// Rejects a token older than `ttl` seconds, or stamped further ahead of the
// clock than the allowed skew.
void check_token_age(uint64_t timestamp, nb::handle ttl) {
    nb::object now = clock_seconds();
    nb::object issued = steal_checked(PyLong_FromUnsignedLongLong(timestamp));
    nb::object expires = steal_checked(PyNumber_Add(issued.ptr(), ttl.ptr()));
    if (tw::py::compare(expires, now, Py_LT)) raise_invalid_token("Token has expired");
    nb::object skew = steal_checked(PyLong_FromLong(kMaxClockSkew));
    nb::object latest = steal_checked(PyNumber_Add(now.ptr(), skew.ptr()));
    if (tw::py::compare(latest, issued, Py_LT))
        raise_invalid_token("Token timestamp is in the future");
}

// The bytes to encrypt: a str's UTF-8 (an ASCII one read where it lies).
struct Plaintext {
    nb::object holder;
    const uint8_t* data;
    size_t size;
};

Plaintext plaintext_of(nb::handle data) {
    if (PyUnicode_Check(data.ptr())) {
        if (const std::optional<std::string_view> ascii = ascii_text(data))
            return {nb::borrow(data), reinterpret_cast<const uint8_t*>(ascii->data()),
                    ascii->size()};
        nb::object utf8 = utf8_of(data);
        return {utf8, bytes_data(utf8), bytes_size(utf8)};
    }
    if (PyBytes_Check(data.ptr())) return {nb::borrow(data), bytes_data(data), bytes_size(data)};
    raise_argument_type("encrypt", "data", "str or bytes", data);
}

// ------------------------------------------------------------- encryption

// The one-pass route: the token's text written straight into the result.
nb::object seal_natively(const ReadyKeys& ready, const Plaintext& plaintext, TokenForm form) {
    uint8_t iv[token::kIvSize], timestamp[token::kTimestampSize];
    iv_into(iv, sizeof iv);
    const int64_t seconds = time_in_seconds();
    if (seconds >= 0) {
        store_be64(timestamp, static_cast<uint64_t>(seconds));
    } else { // before 1970: struct.pack raises its own error
        nb::object packed = pack_timestamp(steal_checked(PyLong_FromLongLong(seconds)));
        std::memcpy(timestamp, bytes_data(exact_bytes(packed, 8, "packed timestamp")), 8);
    }

    const size_t size = plaintext.size;
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX) / 4 * 3 - 4 * token::kMinimumSize)
        throw std::bad_alloc();
    const size_t text_size = token::text_size(size);
    const size_t prefix = form == TokenForm::version_2 ? kVersion2Prefix.size() : 0;
    nb::object result;
    char* text;
    if (form == TokenForm::text) {
        result = steal_checked(PyUnicode_New(static_cast<Py_ssize_t>(text_size), 127));
        text = static_cast<char*>(PyUnicode_DATA(result.ptr()));
    } else {
        result = uninitialised_bytes(prefix + text_size);
        text = reinterpret_cast<char*>(bytes_data_mut(result));
        std::memcpy(text, kVersion2Prefix.data(), prefix);
        text += prefix;
    }
    tw::py::run_native(
        [&] { token::seal_text(text, ready.keys, timestamp, iv, plaintext.data, size); },
        tw::py::release_for_bytes(size));
    return result;
}

// Encryption step by step: the IV from os.urandom, the AES key, the packed
// time, then the HMAC and base64 calls, each through the module's names as
// bound now and in that order, so a host's stand-in sees the calls it expects.
nb::object seal_by_steps(nb::handle self, const Plaintext& plaintext) {
    nb::object iv = exact_bytes(random_bytes(token::kIvSize), token::kIvSize, "IV");
    EncryptionKey key;
    load_encryption_key(self, key);
    nb::object timestamp =
        exact_bytes(pack_timestamp(clock_seconds()), token::kTimestampSize, "packed timestamp");

    const size_t size = plaintext.size;
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX) - 2 * token::kMinimumSize)
        throw std::bad_alloc();
    const size_t signed_size = token::authenticated_size(size);
    // The whole token in one buffer: the tag is written behind what it covers.
    nb::object body = uninitialised_bytes(signed_size + token::kTagSize);
    uint8_t* out = bytes_data_mut(body);
    tw::py::run_native(
        [&] {
            token::seal(out, bytes_data(timestamp), bytes_data(iv), key.value, plaintext.data,
                        size);
        },
        tw::py::release_for_bytes(size));
    nb::object tag = hmac_sha256(attribute(self, signing_key_attr), body, out, signed_size);
    if (PyBytes_Check(tag.ptr()) && bytes_size(tag) == token::kTagSize) {
        std::memcpy(out + signed_size, bytes_data(tag), token::kTagSize);
    } else {
        // A digest of another length from a rebound hmac: appended as it is.
        nb::object covered =
            steal_checked(PySequence_GetSlice(body.ptr(), 0, static_cast<Py_ssize_t>(signed_size)));
        body = steal_checked(PySequence_Concat(covered.ptr(), tag.ptr()));
    }
    return urlsafe_b64encode(body);
}

// A token made step by step, in the form the caller asked for.
nb::object in_form(nb::handle token_bytes, TokenForm form) {
    if (form == TokenForm::text) return decoded_text(token_bytes);
    if (form == TokenForm::version_2) {
        nb::object prefix = new_bytes(kVersion2Prefix.data(), kVersion2Prefix.size());
        return steal_checked(PySequence_Concat(prefix.ptr(), token_bytes.ptr()));
    }
    return nb::borrow(token_bytes);
}

nb::object encrypt(nb::handle self, nb::handle data, TokenForm form) {
    const Plaintext plaintext = plaintext_of(data);
    NativeKeys keys;
    if (keys.load(self) && native_encryption_route())
        return seal_natively(*keys.ready(self), plaintext, form);
    return in_form(seal_by_steps(self, plaintext), form);
}

// ------------------------------------------------------------- decryption

// A decoded token, and what the one-pass route already knows about it.
struct Decoded {
    nb::object bytes;
    bool ours = false;      // made by decode_natively, seen by no one else: opened in place
    bool tag_known = false; // `tag` holds the tag its authenticated part should carry
    std::shared_ptr<const ReadyKeys> keys; // on the one-pass route
    Wiped<uint8_t[token::kTagSize]> tag;
};

// The token's text where the one-pass route can read it: bytes from
// `offset` on, or an ASCII str.
std::optional<std::string_view> token_text(nb::handle token_value, size_t offset) {
    if (PyBytes_Check(token_value.ptr())) {
        const size_t size = bytes_size(token_value);
        return std::string_view(PyBytes_AS_STRING(token_value.ptr()) + offset, size - offset);
    }
    if (PyUnicode_Check(token_value.ptr())) return ascii_text(token_value);
    return std::nullopt;
}

// Decodes canonical text natively, hashing as it goes when the keys allow.
bool decode_natively(nb::handle self, std::string_view text, Decoded& decoded) {
    const std::optional<size_t> size = base64::canonical_decoded_size(text.data(), text.size());
    if (!size) return false;
    NativeKeys keys;
    const bool plain_keys = keys.load(self);
    if (!native_decryption_route()) return false;
    if (plain_keys) decoded.keys = keys.ready(self);
    const hmac::Key* signing = decoded.keys ? &decoded.keys->keys.signing : nullptr;
    nb::object raw = uninitialised_bytes(*size);
    const bool canonical = tw::py::run_native(
        [&] {
            if (signing)
                return token::decode_signing(text.data(), text.size(), bytes_data_mut(raw), *size,
                                             *signing, decoded.tag.value);
            return base64::decode(text.data(), text.size(), bytes_data_mut(raw));
        },
        tw::py::release_for_bytes(text.size()));
    if (!canonical) {
        decoded.keys.reset();
        return false;
    }
    decoded.tag_known = signing && token::has_token_format(bytes_data(raw), *size);
    decoded.bytes = std::move(raw);
    decoded.ours = true;
    return true;
}

// Steps 1 and 2: a str encoded to UTF-8, then urlsafe_b64decode (3.10's reading
// on the native route, the host's function otherwise); any
// failure there is "Cannot decode token".
void decode_by_steps(nb::handle token_value, size_t offset, Decoded& decoded) {
    if (!PyBytes_Check(token_value.ptr()) && !PyUnicode_Check(token_value.ptr()))
        raise_invalid_token("Cannot decode token");
    try {
        nb::object text;
        if (PyUnicode_Check(token_value.ptr()))
            text = utf8_of(token_value);
        else if (offset)
            text = steal_checked(PySequence_GetSlice(
                token_value.ptr(), static_cast<Py_ssize_t>(offset), PY_SSIZE_T_MAX));
        else
            text = nb::borrow(token_value);
        decoded.bytes = urlsafe_b64decode(text);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        raise_invalid_token("Cannot decode token", error.value());
    }
    if (!PyBytes_Check(decoded.bytes.ptr()))
        decoded.bytes = steal_checked(PyBytes_FromObject(decoded.bytes.ptr()));
}

// The tag, compared in constant time before anything is decrypted.
void verify_tag(nb::handle self, const Decoded& decoded) {
    const uint8_t* data = bytes_data(decoded.bytes);
    const size_t size = bytes_size(decoded.bytes);
    if (decoded.tag_known) {
        if (!token::tag_matches(data, size, decoded.tag.value))
            raise_invalid_token("HMAC verification failed");
        return;
    }
    const size_t signed_size = size - token::kTagSize;
    nb::object expected =
        hmac_sha256(attribute(self, signing_key_attr), decoded.bytes, data, signed_size);
    nb::object received = new_bytes(data + signed_size, token::kTagSize);
    if (!digests_equal(expected, received)) raise_invalid_token("HMAC verification failed");
}

[[noreturn]] void raise_invalid_padding() {
    nb::object padding_error =
        steal_checked(PyObject_CallFunction(PyExc_ValueError, "s", "Invalid padding"));
    raise_invalid_token("Invalid padding", padding_error);
}

nb::object decrypt(nb::handle self, nb::handle token_value, size_t offset, nb::handle ttl) {
    Decoded decoded;
    const std::optional<std::string_view> text = token_text(token_value, offset);
    if (!(text && decode_natively(self, *text, decoded)))
        decode_by_steps(token_value, offset, decoded);

    const size_t size = bytes_size(decoded.bytes);
    if (!token::has_token_format(bytes_data(decoded.bytes), size))
        raise_invalid_token("Invalid token format");
    verify_tag(self, decoded);
    if (!ttl.is_none()) {
        check_token_age(token::timestamp_of(bytes_data(decoded.bytes)), ttl);
        // A ttl of a host's own type ran its code there, which may have
        // assigned keys: the AES key is then read in its turn.
        if (!PyLong_CheckExact(ttl.ptr()) && !PyFloat_CheckExact(ttl.ptr())) decoded.keys.reset();
    }
    const size_t ciphertext_size = token::ciphertext_size(size);
    if (ciphertext_size % token::kBlockSize != 0) raise_invalid_token("Invalid ciphertext length");

    // Decryption, the last block first for the padding and so the size: in
    // place when the decoded bytes are ours (the plaintext moves forward over
    // the header, and the object is shortened to it), otherwise straight into
    // a bytes object of the plaintext's size.
    auto open_with = [&](const uint8_t* round_keys) {
        const uint8_t* raw = bytes_data(decoded.bytes);
        const token::Opening opening(raw, size, round_keys);
        if (!opening.size()) raise_invalid_padding();
        nb::object plaintext =
            decoded.ours ? std::move(decoded.bytes) : uninitialised_bytes(*opening.size());
        tw::py::run_native(
            [&] { opening.finish(bytes_data_mut(plaintext), raw, size, round_keys); },
            tw::py::release_for_bytes(ciphertext_size));
        if (decoded.ours) shorten_fresh_bytes(plaintext, *opening.size());
        return plaintext;
    };
    if (decoded.keys) return open_with(decoded.keys->keys.round_keys.value);
    EncryptionKey key;
    load_encryption_key(self, key);
    Wiped<uint8_t[176]> schedule;
    aes_expand_key(key.value, schedule.value);
    return open_with(schedule.value);
}

// ------------------------------------------------------------ the methods

void token_cipher_init(nb::handle self, nb::handle key) {
    KeyBytes text(PyUnicode_Check(key.ptr()) ? utf8_of(key) : nb::borrow(key));
    KeyBytes decoded(urlsafe_b64decode(text.get()));
    if (tw::py::length_of(decoded.get()) != 32)
        tw::py::raise(PyExc_ValueError, "Fernet key must be 32 url-safe base64-encoded bytes.");
    nb::object signing = steal_checked(PySequence_GetSlice(decoded.get().ptr(), 0, 16));
    nb::object encryption = steal_checked(PySequence_GetSlice(decoded.get().ptr(), 16, 32));
    if (PyObject_SetAttr(self.ptr(), signing_key_attr.key(), signing.ptr()) != 0 ||
        PyObject_SetAttr(self.ptr(), encryption_key_attr.key(), encryption.ptr()) != 0)
        throw nb::python_error();
}

nb::object generate_key() {
    KeyBytes raw(random_bytes(32));
    return urlsafe_b64encode(raw.get());
}

nb::object token_encrypt(nb::handle self, nb::handle data) {
    return encrypt(self, data, TokenForm::bytes);
}

nb::object token_decrypt(nb::handle self, nb::handle token_value, nb::handle ttl) {
    return decrypt(self, token_value, 0, ttl);
}

// ------------------------------------------------------------- the classes

nb::object make_invalid_token_class() {
    nb::dict body;
    body["__doc__"] = "A token was rejected: it cannot be decoded, is malformed, fails its "
                      "authentication, is too old, or does not decrypt to padded data.";
    return tw::py::make_class(kModuleName, "InvalidToken",
                              nb::make_tuple(nb::handle(PyExc_Exception)), body);
}

nb::object make_token_cipher_class() {
    nb::dict body;
    body["__doc__"] = "Authenticated encryption of bytes into tokens: AES-128-CBC with PKCS#7 "
                      "padding and HMAC-SHA256, URL-safe base64 encoded, under a key of 32 "
                      "url-safe base64-encoded bytes (16 for the HMAC, 16 for AES).";
    body["_FERNET_VERSION"] = nb::bytes("\x80", 1);
    nb::object cls = tw::py::make_class(kModuleName, "TwFernet", nb::make_tuple(), body);
    tw::py::Members(cls)
        .method("__init__", &token_cipher_init, tw::py::arg("key"),
                nb::sig("def __init__(self, key: str | bytes) -> None"),
                "A token cipher under `key`, 32 bytes in URL-safe base64 (str or bytes); raises "
                "ValueError for a key of another length.\n\n"
                "A key that is not base64 raises the error of base64.urlsafe_b64decode.")
        .static_method("generate_key", &generate_key, nb::sig("def generate_key() -> bytes"),
                       "A new random key: 32 bytes from os.urandom in URL-safe base64, 44 bytes "
                       "long.")
        .method("encrypt", &token_encrypt, tw::py::arg("data"),
                nb::sig("def encrypt(self, data: str | bytes) -> bytes"),
                "A new token holding `data` (a str is taken as UTF-8), as URL-safe base64 bytes; "
                "raises TypeError for anything but str and bytes.\n\n"
                "The token carries the time of its making and a random IV.")
        .method("decrypt", &token_decrypt, tw::py::arg("token"), tw::py::arg("ttl") = nb::none(),
                nb::sig("def decrypt(self, token: str | bytes, ttl: int | None = None) -> bytes"),
                "The bytes a token holds; raises InvalidToken for a token that cannot be decoded, "
                "is malformed or forged, or is older than `ttl` seconds.\n\n"
                "With a `ttl`, a token made more than 60 seconds in the future is refused too. "
                "The tag is checked, in constant time, before anything is decrypted.");
    return cls;
}

} // namespace

nb::object new_token_cipher(nb::handle key) {
    return ns[names::TwFernet](key);
}

nb::object cipher_encrypt(nb::handle cipher, nb::handle data, TokenForm form) {
    if (natively(InstanceOf{cipher, original::TwFernet})) return encrypt(cipher, data, form);
    return in_form(
        cipher.attr("encrypt")(PyUnicode_Check(data.ptr()) ? utf8_of(data) : nb::borrow(data)),
        form);
}

nb::object cipher_decrypt(nb::handle cipher, nb::handle token_value, size_t offset) {
    if (natively(InstanceOf{cipher, original::TwFernet}))
        return decrypt(cipher, token_value, offset, nb::none());
    if (PyUnicode_Check(token_value.ptr())) return cipher.attr("decrypt")(utf8_of(token_value));
    if (offset)
        return cipher.attr("decrypt")(steal_checked(PySequence_GetSlice(
            token_value.ptr(), static_cast<Py_ssize_t>(offset), PY_SSIZE_T_MAX)));
    return cipher.attr("decrypt")(token_value);
}

void wipe_token_cipher(nb::handle cipher) noexcept {
    if (!cipher || !natively(InstanceOf{cipher, original::TwFernet}) ||
        Py_REFCNT(cipher.ptr()) != 1)
        return;
    nb::error_scope keep_pending_error; // this may run while an exception propagates
    PyObject* dict = PyObject_GenericGetDict(cipher.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return;
    }
    // Each key leaves the instance, which nobody else can see, for a holder
    // that wipes it unless someone else holds it too.
    for (const Name* attr : {&signing_key_attr, &encryption_key_attr}) {
        PyObject* key = PyDict_GetItemWithError(dict, attr->key()); // borrowed
        if (!key) {
            PyErr_Clear();
            continue;
        }
        const KeyBytes taken{nb::borrow(key)};
        if (PyDict_DelItem(dict, attr->key()) != 0) PyErr_Clear();
    }
    Py_DECREF(dict);
}

void bind_token_cipher() {
    ns.set(names::InvalidToken, make_invalid_token_class());
    ns.set(names::TwFernet, make_token_cipher_class());
}

} // namespace tw::lattice
