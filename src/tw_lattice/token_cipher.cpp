// The token cipher: `InvalidToken` and `TwFernet`, ordinary Python classes
// whose methods are the C++ functions below. The block cipher, padding and
// token layout are native (token_format.h); HMAC-SHA256, base64, random bytes,
// the clock and the packing of the timestamp come from the standard modules
// bound on this module, looked up at each call.
#include <cstring>
#include <new>
#include <optional>

#include "common/classes.h"
#include "tw_lattice/core/token_format.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {
namespace {

using tw::lattice::secure_wipe;
using tw::py::steal_checked;
namespace token = tw::lattice::token;

// Block-cipher work over at least this many bytes runs without the GIL.
constexpr size_t kReleaseGilFrom = 32 * 1024;
// How far a token's timestamp may lie ahead of the clock when its age is checked.
constexpr long kMaxClockSkew = 60;

inline const Name signing_key_attr{"_signing_key"}, encryption_key_attr{"_encryption_key"};

// TwFernet as created at load; kept for the process so that the native path
// can recognise its instances even after a host rebinds the module's name.
nb::handle loaded_token_cipher_class;

// Raise InvalidToken(message), as `raise` inside an `except` block would when
// `context` is the exception being handled.
[[noreturn]] void raise_invalid_token(const char* message, nb::handle context = nb::handle()) {
    nb::object error = ns[names::InvalidToken](message);
    if (!PyExceptionInstance_Check(error.ptr()))
        tw::py::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    if (context) PyException_SetContext(error.ptr(), nb::borrow(context).release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// A bytes value of exactly `size` bytes from a standard function's result.
nb::object exact_bytes(nb::object value, size_t size, const char* what) {
    if (!PyBytes_Check(value.ptr()) || bytes_size(value) != size) {
        PyErr_Format(PyExc_ValueError, "%s must be %zu bytes", what, size);
        throw nb::python_error();
    }
    return value;
}

struct CipherKeys {
    nb::object signing; // handed to hmac as it is
    uint8_t encryption[token::kKeySize];
    ~CipherKeys() { secure_wipe(encryption, sizeof encryption); }
};

void load_keys(nb::handle self, CipherKeys& keys) {
    keys.signing = steal_checked(PyObject_GetAttr(self.ptr(), signing_key_attr.key()));
    nb::object encryption = steal_checked(PyObject_GetAttr(self.ptr(), encryption_key_attr.key()));
    exact_bytes(encryption, token::kKeySize, "_encryption_key");
    std::memcpy(keys.encryption, bytes_data(encryption), token::kKeySize);
}

// A memoryview of the first `size` bytes of `bytes`; it keeps `bytes` alive.
nb::object prefix_view(nb::handle bytes, size_t size) {
    nb::object view = steal_checked(PyMemoryView_FromObject(bytes.ptr()));
    return steal_checked(PySequence_GetSlice(view.ptr(), 0, static_cast<Py_ssize_t>(size)));
}

// int(time_module.time())
nb::object clock_seconds() {
    nb::object now = ns[names::time_module].attr("time")();
    return steal_checked(PyNumber_Long(now.ptr()));
}

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
    KeyBytes raw(ns[names::os].attr("urandom")(32));
    return urlsafe_b64encode(raw.get());
}

nb::object token_encrypt(nb::handle self, nb::handle data) {
    nb::object plaintext;
    if (PyUnicode_Check(data.ptr()))
        plaintext = utf8_of(data);
    else if (PyBytes_Check(data.ptr()))
        plaintext = nb::borrow(data);
    else
        raise_argument_type("encrypt", "data", "str or bytes", data);

    CipherKeys keys;
    load_keys(self, keys);
    nb::object iv =
        exact_bytes(ns[names::os].attr("urandom")(token::kIvSize), token::kIvSize, "IV");
    nb::object timestamp = exact_bytes(ns[names::struct_].attr("pack")(">Q", clock_seconds()),
                                       token::kTimestampSize, "packed timestamp");

    const size_t size = bytes_size(plaintext);
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX) - 2 * token::kMinimumSize)
        throw std::bad_alloc();
    const size_t signed_size = token::authenticated_size(size);
    // The whole token in one buffer: the tag is written behind what it covers.
    nb::object body = steal_checked(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(signed_size + token::kTagSize)));
    uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(body.ptr()));
    {
        std::optional<nb::gil_scoped_release> unlocked;
        if (size >= kReleaseGilFrom) unlocked.emplace();
        token::seal(out, bytes_data(timestamp), bytes_data(iv), keys.encryption,
                    bytes_data(plaintext), size);
    }
    nb::object tag = hmac_sha256(keys.signing, prefix_view(body, signed_size));
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

nb::object token_decrypt(nb::handle self, nb::handle token_value, nb::handle ttl) {
    nb::object text;
    if (PyBytes_Check(token_value.ptr())) {
        text = nb::borrow(token_value);
    } else if (PyUnicode_Check(token_value.ptr())) {
        try {
            text = utf8_of(token_value);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            raise_invalid_token("Cannot decode token", error.value());
        }
    } else {
        raise_invalid_token("Cannot decode token");
    }

    nb::object decoded;
    try {
        decoded = urlsafe_b64decode(text);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        raise_invalid_token("Cannot decode token", error.value());
    }
    if (!PyBytes_Check(decoded.ptr())) decoded = steal_checked(PyBytes_FromObject(decoded.ptr()));
    const uint8_t* data = bytes_data(decoded);
    const size_t size = bytes_size(decoded);
    if (!token::has_token_format(data, size)) raise_invalid_token("Invalid token format");

    CipherKeys keys;
    load_keys(self, keys);
    const size_t signed_size = size - token::kTagSize;
    nb::object expected = hmac_sha256(keys.signing, prefix_view(decoded, signed_size));
    nb::object received = new_bytes(data + signed_size, token::kTagSize);
    if (!truthy(ns[names::hmac_mod].attr("compare_digest")(expected, received)))
        raise_invalid_token("HMAC verification failed");
    if (!ttl.is_none()) check_token_age(token::timestamp_of(data), ttl);

    const size_t ciphertext_size = token::ciphertext_size(size);
    if (ciphertext_size % token::kBlockSize != 0) raise_invalid_token("Invalid ciphertext length");
    nb::object plaintext =
        steal_checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ciphertext_size)));
    uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(plaintext.ptr()));
    std::optional<size_t> kept;
    {
        std::optional<nb::gil_scoped_release> unlocked;
        if (ciphertext_size >= kReleaseGilFrom) unlocked.emplace();
        kept = token::open(out, data, size, keys.encryption);
    }
    if (!kept) {
        secure_wipe(out, ciphertext_size);
        nb::object padding_error =
            steal_checked(PyObject_CallFunction(PyExc_ValueError, "s", "Invalid padding"));
        raise_invalid_token("Invalid padding", padding_error);
    }
    if (*kept != ciphertext_size) {
        PyObject* resized = plaintext.release().ptr();
        if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(*kept)) != 0)
            throw nb::python_error();
        plaintext = nb::steal(resized);
    }
    return plaintext;
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
    body["__init__"] = tw::py::method("__init__", &token_cipher_init, tw::py::arg("key"),
                                      nb::sig("def __init__(self, key: str | bytes) -> None"));
    body["generate_key"] = tw::py::staticmethod(
        tw::py::function("generate_key", &generate_key, nb::sig("def generate_key() -> bytes")));
    body["encrypt"] = tw::py::method("encrypt", &token_encrypt, tw::py::arg("data"),
                                     nb::sig("def encrypt(self, data: str | bytes) -> bytes"));
    body["decrypt"] = tw::py::method(
        "decrypt", &token_decrypt, tw::py::arg("token"), tw::py::arg("ttl") = nb::none(),
        nb::sig("def decrypt(self, token: str | bytes, ttl: int | None = None) -> bytes"));
    return tw::py::make_class(kModuleName, "TwFernet", nb::make_tuple(), body);
}

bool is_loaded_class_instance(nb::handle cipher) {
    return reinterpret_cast<PyObject*>(Py_TYPE(cipher.ptr())) == loaded_token_cipher_class.ptr();
}

} // namespace

nb::object new_token_cipher(nb::handle key) {
    return ns[names::TwFernet](key);
}

nb::object cipher_encrypt(nb::handle cipher, nb::handle data) {
    if (is_loaded_class_instance(cipher)) return token_encrypt(cipher, data);
    return cipher.attr("encrypt")(data);
}

nb::object cipher_decrypt(nb::handle cipher, nb::handle token_value) {
    if (is_loaded_class_instance(cipher)) return token_decrypt(cipher, token_value, nb::none());
    return cipher.attr("decrypt")(token_value);
}

void wipe_token_cipher(nb::handle cipher) {
    if (!cipher || !is_loaded_class_instance(cipher) || Py_REFCNT(cipher.ptr()) != 1) return;
    nb::object dict = steal_checked(PyObject_GenericGetDict(cipher.ptr(), nullptr));
    for (const Name* attr : {&signing_key_attr, &encryption_key_attr}) {
        PyObject* key = PyDict_GetItemWithError(dict.ptr(), attr->key()); // borrowed
        if (!key) {
            PyErr_Clear();
            continue;
        }
        if (PyBytes_CheckExact(key) && Py_REFCNT(key) == 1) // only the instance holds it
            secure_wipe(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)));
    }
}

void bind_token_cipher(nb::module_& m) {
    m.attr("InvalidToken") = make_invalid_token_class();
    nb::object cls = make_token_cipher_class();
    loaded_token_cipher_class = nb::object(cls).release();
    m.attr("TwFernet") = cls;
}

} // namespace tw::lattice
