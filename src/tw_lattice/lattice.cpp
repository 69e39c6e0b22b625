// `tw_lattice`: string and data encryption under keys derived from a caller's
// secret. A native type with no attributes of its own: the secret, the
// derivation constants and the derived token cipher are held privately and
// wiped when the object dies.
//
// Keys come from PBKDF2-HMAC-SHA256 (hashlib.pbkdf2_hmac, 100000 iterations,
// 32 bytes, native while hashlib is the one bound at load), turned into
// token-cipher keys by URL-safe base64. Version-1 data is a bare token under
// the object's own key; version-2 data is "TWEV2:" and a token under a key
// bound to the file's base name as well as the secret.
#include <cstring>
#include <string_view>
#include <utility>

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

// `value is None or not value` (the argument has passed its type check; a
// subclass's own truth test counts).
bool none_or_empty(nb::handle value) {
    return value.is_none() || !truthy(value);
}

bool has_v2_prefix(nb::handle data) {
    return bytes_size(data) >= kVersion2Prefix.size() &&
           std::memcmp(bytes_data(data), kVersion2Prefix.data(), kVersion2Prefix.size()) == 0;
}

// A token cipher made for one call, its keys wiped when the call ends
// however it ends.
class CallCipher {
  public:
    explicit CallCipher(nb::object cipher) : cipher_(std::move(cipher)) {}
    CallCipher(const CallCipher&) = delete;
    CallCipher& operator=(const CallCipher&) = delete;
    ~CallCipher() { wipe_token_cipher(cipher_); }
    nb::handle get() const { return cipher_; }

  private:
    nb::object cipher_;
};

// `try: return body()` / `except Exception: return None`.
template <typename Body> nb::object none_on_exception(Body&& body) {
    return tw::py::unless_raised(std::forward<Body>(body), PyExc_Exception).value_or(nb::none());
}

SecretBuffer checked_secret(nb::handle secret_key) {
    check_argument("tw_lattice", "secret_key", Accepts::str, secret_key);
    if (!truthy(secret_key)) tw::py::raise(PyExc_ValueError, "Secret key cannot be empty");
    const Py_ssize_t length = tw::py::length_of(secret_key);
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
    ~Lattice() { wipe_token_cipher(fernet_); }

    nb::object encrypt_string(nb::handle input_string) const {
        check_argument("encrypt_string", "input_string", Accepts::str_or_none, input_string);
        if (none_or_empty(input_string))
            tw::py::raise(PyExc_ValueError, "Cannot encrypt empty string");
        return cipher_encrypt(fernet_, input_string, TokenForm::text);
    }

    nb::object decrypt_string(nb::handle encrypted_string) const {
        check_argument("decrypt_string", "encrypted_string", Accepts::str_or_none,
                       encrypted_string);
        if (none_or_empty(encrypted_string)) return nb::none();
        return none_on_exception(
            [&] { return decoded_text(cipher_decrypt(fernet_, encrypted_string)); });
    }

    nb::object encrypt_data(nb::handle data, nb::handle filename) const {
        check_argument("encrypt_data", "data", Accepts::bytes_or_none, data);
        check_argument("encrypt_data", "filename", Accepts::str_or_none, filename);
        if (none_or_empty(data)) tw::py::raise(PyExc_ValueError, "Cannot encrypt empty data");
        if (none_or_empty(filename)) return cipher_encrypt(fernet_, data);
        const CallCipher cipher(file_cipher(filename));
        return cipher_encrypt(cipher.get(), data, TokenForm::version_2);
    }

    nb::object decrypt_data(nb::handle encrypted_data, nb::handle filename) const {
        check_argument("decrypt_data", "encrypted_data", Accepts::bytes_or_none, encrypted_data);
        check_argument("decrypt_data", "filename", Accepts::str_or_none, filename);
        if (none_or_empty(encrypted_data)) return nb::none();
        if (!has_v2_prefix(encrypted_data)) return cipher_decrypt(fernet_, encrypted_data);
        if (none_or_empty(filename))
            tw::py::raise(PyExc_ValueError,
                          "V2 encrypted data requires filename parameter for decryption");
        const CallCipher cipher(file_cipher(filename));
        return cipher_decrypt(cipher.get(), encrypted_data, kVersion2Prefix.size());
    }

    bool is_v2_data(nb::handle data) const {
        check_argument("is_v2_data", "data", Accepts::bytes_or_none, data);
        return !none_or_empty(data) && has_v2_prefix(data);
    }

    nb::object string_to_secret_key(nb::handle input_string) const {
        check_argument("string_to_secret_key", "input_string", Accepts::str_or_none, input_string);
        if (none_or_empty(input_string))
            tw::py::raise(PyExc_ValueError, "Input string cannot be empty");
        if (tw::py::length_of(input_string) > kMaximumKeyInputLength)
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
            const CallCipher cipher(new_token_cipher(key.get()));
            return decoded_text(cipher_decrypt(cipher.get(), encrypted_string));
        });
    }

  private:
    // hashlib.pbkdf2_hmac("sha256", password, salt, 100000, 32)
    static nb::object derive_key(nb::handle password, const uint8_t* salt, size_t salt_size) {
        nb::object salt_bytes = new_bytes(salt, salt_size);
        return pbkdf2_sha256(password, salt_bytes, kIterations, kDerivedKeySize);
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
        KeyBytes base_utf8(encoded(base));
        if (!PyBytes_Check(base_utf8.get().ptr()))
            tw::py::raise(PyExc_TypeError, "can't concat non-bytes to bytes");
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
        KeyBytes digest(sha256_digest(salt_input.get()));
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

void bind_lattice() {
    using tw::py::arg;
    nb::object cls =
        nb::class_<Lattice>(ns.module(), names::tw_lattice.text(),
                            "Encrypts and decrypts strings and byte data under keys derived from "
                            "a secret of 8 to 512 characters. Data encrypted with a file name can "
                            "only be decrypted under the same base name.")
            .def(nb::init<nb::handle>(), arg("secret_key"),
                 nb::sig("def __init__(self, secret_key: str) -> None"),
                 "An encryptor under `secret_key`, a str of 8 to 512 characters; raises "
                 "ValueError for a secret that is empty, shorter or longer.\n\n"
                 "Its own key is derived with PBKDF2-HMAC-SHA256; a secret that is no str raises "
                 "TypeError.");
    tw::py::Members(cls)
        .adopt("__init__")
        .method("encrypt_string", &Lattice::encrypt_string, arg("input_string"),
                nb::sig("def encrypt_string(self, input_string: str | None) -> str"),
                "A version-1 token holding `input_string`, as str; raises ValueError for None "
                "or an empty string.\n\n"
                "Arguments of other types raise TypeError.")
        .method("decrypt_string", &Lattice::decrypt_string, arg("encrypted_string"),
                nb::sig("def decrypt_string(self, encrypted_string: str | None) -> str | None"),
                "The text a version-1 token holds, or None for None, an empty string, a bad "
                "token or any other failure.\n\n"
                "Arguments of other types raise TypeError.")
        .method("encrypt_data", &Lattice::encrypt_data, arg("data"), arg("filename") = nb::none(),
                nb::sig("def encrypt_data(self, data: bytes | None, filename: str | None = None) "
                        "-> bytes"),
                "Version-1 data holding `data`, or with a `filename` version-2 data bound to its "
                "base name; raises ValueError for None or empty data.\n\n"
                "Version-2 data is \"TWEV2:\" followed by a token under a key derived from the "
                "secret and the file's base name. Arguments of other types raise TypeError.")
        .method("decrypt_data", &Lattice::decrypt_data, arg("encrypted_data"),
                arg("filename") = nb::none(),
                nb::sig("def decrypt_data(self, encrypted_data: bytes | None, filename: str | "
                        "None = None) -> bytes | None"),
                "The bytes version-1 or version-2 data holds, or None for None or empty data; "
                "raises InvalidToken for a bad token.\n\n"
                "Version-2 data needs the `filename` it was encrypted with (any folder, the same "
                "base name): without one it raises ValueError. Arguments of other types raise "
                "TypeError.")
        .method("is_v2_data", &Lattice::is_v2_data, arg("data"),
                nb::sig("def is_v2_data(self, data: bytes | None) -> bool"),
                "Whether `data` is version-2 data, starting with \"TWEV2:\"; False for None or "
                "empty data.")
        .method("string_to_secret_key", &Lattice::string_to_secret_key, arg("input_string"),
                nb::sig("def string_to_secret_key(self, input_string: str | None) -> str"),
                "A token-cipher key derived from `input_string`, 44 characters, the same for the "
                "same input; raises ValueError for None, an empty string or more than 1024 "
                "characters.")
        .method("secret_key_to_string", &Lattice::secret_key_to_string, arg("secret_key"),
                arg("encrypted_string"),
                nb::sig("def secret_key_to_string(self, secret_key: str | None, "
                        "encrypted_string: str | None) -> str | None"),
                "The text a token holds under the token-cipher key `secret_key`, or None when "
                "either is None or empty or anything fails (a bad key or token included).");
}

} // namespace tw::lattice
