// `tw_lattice`: string and data encryption under keys derived from a caller's
// secret. A native type with no attributes of its own: the secret, the
// derivation constants and the derived token cipher are held privately and
// wiped when the object dies.
//
// Keys come from PBKDF2-HMAC-SHA256 (the standard hashlib, 100000 iterations,
// 32 bytes), turned into token-cipher keys by URL-safe base64. Version-1 data
// is a bare token under the object's own key; version-2 data is "TWEV2:" and a
// token under a key bound to the file's base name as well as the secret.
#include <cstring>
#include <string_view>

#include "common/classes.h"
#include "tw_lattice/core/sealed_constants.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {
namespace {

using tw::lattice::DerivationConstants;
using tw::lattice::SecretBuffer;
using tw::lattice::Wiped;
using tw::py::steal_checked;

constexpr std::string_view kV2Prefix = "TWEV2:";
constexpr int kIterations = 100000;
constexpr int kDerivedKeySize = 32;
constexpr Py_ssize_t kMinimumSecretLength = 8, kMaximumSecretLength = 512;
constexpr Py_ssize_t kMaximumKeyInputLength = 1024;
constexpr size_t kFileSaltSize = 16;

// ---------------------------------------------------------- argument checks

enum class Accepts { str, str_or_none, bytes_or_none };

void check_argument(const char* function, const char* argument, Accepts accepts, nb::handle value) {
    switch (accepts) {
    case Accepts::str:
        if (!PyUnicode_Check(value.ptr())) raise_argument_type(function, argument, "str", value);
        break;
    case Accepts::str_or_none:
        if (!value.is_none() && !PyUnicode_Check(value.ptr()))
            raise_argument_type(function, argument, "str or None", value);
        break;
    case Accepts::bytes_or_none:
        if (!value.is_none() && !PyBytes_Check(value.ptr()))
            raise_argument_type(function, argument, "bytes or None", value);
        break;
    }
}

// None, "" or b"" (the argument has passed its type check).
bool none_or_empty(nb::handle value) {
    if (value.is_none()) return true;
    if (PyUnicode_Check(value.ptr())) return PyUnicode_GET_LENGTH(value.ptr()) == 0;
    return PyBytes_GET_SIZE(value.ptr()) == 0;
}

bool has_v2_prefix(nb::handle data) {
    return bytes_size(data) >= kV2Prefix.size() &&
           std::memcmp(bytes_data(data), kV2Prefix.data(), kV2Prefix.size()) == 0;
}

// `value` unless it is an exception type the caller maps to None: every
// Exception, as `except Exception` would catch.
template <typename Body> nb::object none_on_exception(Body&& body) {
    try {
        return body();
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_Exception)) return nb::none();
        throw;
    }
}

SecretBuffer checked_secret(nb::handle secret_key) {
    check_argument("tw_lattice", "secret_key", Accepts::str, secret_key);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(secret_key.ptr());
    if (length == 0) tw::py::raise(PyExc_ValueError, "Secret key cannot be empty");
    if (length < kMinimumSecretLength)
        tw::py::raise(PyExc_ValueError, "Secret key must be at least 8 characters");
    if (length > kMaximumSecretLength) tw::py::raise(PyExc_ValueError, "Secret key too long");
    KeyBytes utf8(utf8_of(secret_key));
    return SecretBuffer(bytes_data(utf8.get()), bytes_size(utf8.get()));
}

// -------------------------------------------------------------- the type

class Lattice {
  public:
    explicit Lattice(nb::handle secret_key) : secret_(checked_secret(secret_key)) {
        tw::lattice::unseal_constants(constants_.value);
        const DerivationConstants& c = constants_.value;
        fernet_ = cipher_from_derived_key(derive_key(secret_, c.main_salt, sizeof c.main_salt));
    }

    Lattice(const Lattice&) = delete;
    Lattice& operator=(const Lattice&) = delete;
    ~Lattice() { wipe_token_cipher_and_release(fernet_); }

    nb::object encrypt_string(nb::handle input_string) const {
        check_argument("encrypt_string", "input_string", Accepts::str_or_none, input_string);
        if (none_or_empty(input_string))
            tw::py::raise(PyExc_ValueError, "Cannot encrypt empty string");
        return decoded_text(cipher_encrypt(fernet_, utf8_of(input_string)));
    }

    nb::object decrypt_string(nb::handle encrypted_string) const {
        check_argument("decrypt_string", "encrypted_string", Accepts::str_or_none,
                       encrypted_string);
        if (none_or_empty(encrypted_string)) return nb::none();
        return none_on_exception(
            [&] { return decoded_text(cipher_decrypt(fernet_, utf8_of(encrypted_string))); });
    }

    nb::object encrypt_data(nb::handle data, nb::handle filename) const {
        check_argument("encrypt_data", "data", Accepts::bytes_or_none, data);
        check_argument("encrypt_data", "filename", Accepts::str_or_none, filename);
        if (none_or_empty(data)) tw::py::raise(PyExc_ValueError, "Cannot encrypt empty data");
        if (none_or_empty(filename)) return cipher_encrypt(fernet_, data);
        nb::object cipher = file_cipher(filename);
        nb::object token = cipher_encrypt(cipher, data);
        wipe_token_cipher_and_release(cipher);
        nb::object prefix = new_bytes(kV2Prefix.data(), kV2Prefix.size());
        return steal_checked(PySequence_Concat(prefix.ptr(), token.ptr()));
    }

    nb::object decrypt_data(nb::handle encrypted_data, nb::handle filename) const {
        check_argument("decrypt_data", "encrypted_data", Accepts::bytes_or_none, encrypted_data);
        check_argument("decrypt_data", "filename", Accepts::str_or_none, filename);
        if (none_or_empty(encrypted_data)) return nb::none();
        if (!has_v2_prefix(encrypted_data)) return cipher_decrypt(fernet_, encrypted_data);
        if (none_or_empty(filename))
            tw::py::raise(PyExc_ValueError,
                          "V2 encrypted data requires filename parameter for decryption");
        nb::object cipher = file_cipher(filename);
        nb::object token = new_bytes(bytes_data(encrypted_data) + kV2Prefix.size(),
                                     bytes_size(encrypted_data) - kV2Prefix.size());
        nb::object plaintext = cipher_decrypt(cipher, token);
        wipe_token_cipher_and_release(cipher);
        return plaintext;
    }

    bool is_v2_data(nb::handle data) const {
        check_argument("is_v2_data", "data", Accepts::bytes_or_none, data);
        return !none_or_empty(data) && has_v2_prefix(data);
    }

    nb::object string_to_secret_key(nb::handle input_string) const {
        check_argument("string_to_secret_key", "input_string", Accepts::str_or_none, input_string);
        if (none_or_empty(input_string))
            tw::py::raise(PyExc_ValueError, "Input string cannot be empty");
        if (PyUnicode_GET_LENGTH(input_string.ptr()) > kMaximumKeyInputLength)
            tw::py::raise(PyExc_ValueError, "Input string too long");
        KeyBytes password(utf8_of(input_string));
        const DerivationConstants& c = constants_.value;
        KeyBytes raw(derive_key(password.get(), c.string_salt, sizeof c.string_salt));
        KeyBytes key(urlsafe_b64encode(raw.get()));
        return decoded_text(key.get());
    }

    nb::object secret_key_to_string(nb::handle secret_key, nb::handle encrypted_string) const {
        check_argument("secret_key_to_string", "secret_key", Accepts::str_or_none, secret_key);
        check_argument("secret_key_to_string", "encrypted_string", Accepts::str_or_none,
                       encrypted_string);
        if (none_or_empty(secret_key) || none_or_empty(encrypted_string)) return nb::none();
        return none_on_exception([&] {
            KeyBytes key(utf8_of(secret_key));
            nb::object cipher = new_token_cipher(key.get());
            nb::object plaintext = cipher_decrypt(cipher, utf8_of(encrypted_string));
            wipe_token_cipher_and_release(cipher);
            return decoded_text(plaintext);
        });
    }

  private:
    static void wipe_token_cipher_and_release(nb::object& cipher) {
        wipe_token_cipher(cipher);
        cipher.reset();
    }

    // hashlib.pbkdf2_hmac("sha256", password, salt, 100000, 32)
    static nb::object derive_key(nb::handle password, const uint8_t* salt, size_t salt_size) {
        nb::object salt_bytes = new_bytes(salt, salt_size);
        return ns[names::hashlib].attr("pbkdf2_hmac")("sha256", password, salt_bytes, kIterations,
                                                      kDerivedKeySize);
    }

    static nb::object derive_key(const SecretBuffer& password, const uint8_t* salt,
                                 size_t salt_size) {
        KeyBytes password_bytes(new_bytes(password.data(), password.size()));
        return derive_key(password_bytes.get(), salt, salt_size);
    }

    // TwFernet(urlsafe_b64encode(raw))
    static nb::object cipher_from_derived_key(nb::object raw) {
        KeyBytes raw_key(std::move(raw));
        KeyBytes key(urlsafe_b64encode(raw_key.get()));
        return new_token_cipher(key.get());
    }

    // The cipher of a file name: its base name, the secret and the two fixed
    // pieces give the salt; the secret is the password.
    nb::object file_cipher(nb::handle filename) const {
        nb::object base = ns[names::os].attr("path").attr("basename")(filename);
        KeyBytes base_utf8(utf8_of(base));
        const DerivationConstants& c = constants_.value;
        const std::string_view pieces[] = {
            {reinterpret_cast<const char*>(secret_.data()), secret_.size()},
            {PyBytes_AS_STRING(base_utf8.get().ptr()), bytes_size(base_utf8.get())},
            {reinterpret_cast<const char*>(c.file_piece_a), sizeof c.file_piece_a},
            {reinterpret_cast<const char*>(c.file_piece_b), sizeof c.file_piece_b},
        };
        size_t total = 0;
        for (std::string_view piece : pieces)
            total += piece.size() + 1;
        KeyBytes salt_input(
            steal_checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total - 1))));
        char* out = PyBytes_AS_STRING(salt_input.get().ptr());
        for (size_t i = 0; i < std::size(pieces); ++i) {
            if (i) *out++ = ':';
            std::memcpy(out, pieces[i].data(), pieces[i].size());
            out += pieces[i].size();
        }
        KeyBytes digest(ns[names::hashlib].attr("sha256")(salt_input.get()).attr("digest")());
        KeyBytes salt(steal_checked(PySequence_GetSlice(digest.get().ptr(), 0, kFileSaltSize)));
        if (!PyBytes_Check(salt.get().ptr()))
            tw::py::raise(PyExc_TypeError, "sha256 digest must be bytes");
        return cipher_from_derived_key(
            derive_key(secret_, bytes_data(salt.get()), bytes_size(salt.get())));
    }

    SecretBuffer secret_;
    Wiped<DerivationConstants> constants_;
    nb::object fernet_;
};

} // namespace

void bind_lattice(nb::module_& m) {
    using tw::py::arg;
    nb::class_<Lattice>(m, "tw_lattice",
                        "Encrypts and decrypts strings and byte data under keys derived from a "
                        "secret of 8 to 512 characters. Data encrypted with a file name can only "
                        "be decrypted under the same base name.")
        .def(nb::init<nb::handle>(), arg("secret_key"),
             nb::sig("def __init__(self, secret_key: str) -> None"))
        .def("encrypt_string", &Lattice::encrypt_string, arg("input_string"),
             nb::sig("def encrypt_string(self, input_string: str | None) -> str"))
        .def("decrypt_string", &Lattice::decrypt_string, arg("encrypted_string"),
             nb::sig("def decrypt_string(self, encrypted_string: str | None) -> str | None"))
        .def(
            "encrypt_data", &Lattice::encrypt_data, arg("data"), arg("filename") = nb::none(),
            nb::sig(
                "def encrypt_data(self, data: bytes | None, filename: str | None = None) -> bytes"))
        .def(
            "decrypt_data", &Lattice::decrypt_data, arg("encrypted_data"),
            arg("filename") = nb::none(),
            nb::sig(
                "def decrypt_data(self, encrypted_data: bytes | None, filename: str | None = None) "
                "-> bytes | None"))
        .def("is_v2_data", &Lattice::is_v2_data, arg("data"),
             nb::sig("def is_v2_data(self, data: bytes | None) -> bool"))
        .def("string_to_secret_key", &Lattice::string_to_secret_key, arg("input_string"),
             nb::sig("def string_to_secret_key(self, input_string: str | None) -> str"))
        .def("secret_key_to_string", &Lattice::secret_key_to_string, arg("secret_key"),
             arg("encrypted_string"),
             nb::sig("def secret_key_to_string(self, secret_key: str | None, encrypted_string: str "
                     "| None) "
                     "-> str | None"));
}

} // namespace tw::lattice
