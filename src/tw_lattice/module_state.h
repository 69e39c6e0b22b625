// What the encryption module's Python-facing files share: the module
// namespace they read at call time, the names in it, small conversions, the
// standard-library calls of the token and key steps, and the token cipher's
// operations that tw_lattice calls directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/errors.h"
#include "common/namespace.h"
#include "common/objects.h"
#include "common/originals.h"

namespace tw::lattice {

namespace nb = nanobind;
using tw::py::Name;

inline constexpr const char* kModuleName = "tidewing_lattice.tw_lattice";

inline tw::py::ModuleNamespace ns;

// Module attributes, in the order the module binds them.
namespace names {
inline const Name all_name{"__all__"};
inline const Name base64{"base64"}, hashlib{"hashlib"}, hmac_mod{"hmac_mod"}, os{"os"},
    struct_{"struct"}, time_module{"time_module"};
inline const Name InvalidToken{"InvalidToken"}, TwFernet{"TwFernet"}, tw_lattice{"tw_lattice"};
} // namespace names

// What the native routes stand in for (common/originals.h): the functions of
// the standard modules the token and key steps call, and TwFernet as made at
// load, whose instances the native route serves even after a host rebinds
// the name.
namespace original {
using tw::py::Original;
inline Original urandom{ns, names::os, "urandom"}, time{ns, names::time_module, "time"},
    pack{ns, names::struct_, "pack"}, hmac_new{ns, names::hmac_mod, "new"},
    compare_digest{ns, names::hmac_mod, "compare_digest"}, sha256{ns, names::hashlib, "sha256"},
    pbkdf2_hmac{ns, names::hashlib, "pbkdf2_hmac"},
    b64encode{ns, names::base64, "urlsafe_b64encode"},
    b64decode{ns, names::base64, "urlsafe_b64decode"}, TwFernet{ns, names::TwFernet};
} // namespace original

using tw::py::InstanceOf;
using tw::py::natively;

inline const uint8_t* bytes_data(nb::handle bytes) {
    return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
}

inline uint8_t* bytes_data_mut(nb::handle bytes) {
    return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
}

inline size_t bytes_size(nb::handle bytes) {
    return static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()));
}

inline nb::object new_bytes(const void* data, size_t size) {
    return tw::py::steal_checked(
        PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// A bytes object of `size` bytes to be filled in; raises MemoryError when
// the size cannot be had.
nb::object uninitialised_bytes(size_t size);

// Shortens to `size` a bytes object made here that no one else has seen yet
// (never hashed, one reference): its public size and the NUL that ends every
// bytes object move down, and its allocation keeps the bytes beyond until it
// is freed. No public call resizes a bytes object before 3.15.
void shorten_fresh_bytes(nb::object& bytes, size_t size);

// `text.encode()` for a str: UTF-8, strict.
inline nb::object utf8_of(nb::handle text) {
    return tw::py::steal_checked(PyUnicode_AsUTF8String(text.ptr()));
}

// `value.encode()` for what a host's function returned: a str's UTF-8, or
// whatever the object's own encode gives.
inline nb::object encoded(nb::handle value) {
    return PyUnicode_Check(value.ptr()) ? utf8_of(value) : value.attr("encode")();
}

// The characters of a str whose every character is ASCII, as they are
// stored (its UTF-8 bytes, without a copy); empty otherwise.
std::optional<std::string_view> ascii_text(nb::handle text);

// `data.decode()` for the bytes a token cipher returns.
nb::object decoded_text(nb::handle data);

using tw::py::truthy;

// TypeError: "<function>() argument '<argument>' must be <expected>, not <type>".
[[noreturn]] void raise_argument_type(const char* function, const char* argument,
                                      const char* expected, nb::handle value);

// A bytes object holding key material, overwritten when the holder dies if
// nothing else refers to it by then (a shared object is left alone: someone
// may still read it). The Python side's Wiped.
class KeyBytes {
  public:
    explicit KeyBytes(nb::object bytes) : bytes_(std::move(bytes)) {}
    KeyBytes(const KeyBytes&) = delete;
    KeyBytes& operator=(const KeyBytes&) = delete;
    ~KeyBytes();
    nb::handle get() const { return bytes_; }
    // Hands the object on, to be wiped no more.
    nb::object release() { return std::move(bytes_); }

  private:
    nb::object bytes_;
};

// -------------------------------------------- the token cipher (token_cipher.cpp)

// The form in which a token leaves: the cipher's bytes, those bytes decoded
// to str (encrypt_string), or bytes after the version-2 prefix "TWEV2:".
enum class TokenForm { bytes, text, version_2 };
inline constexpr std::string_view kVersion2Prefix = "TWEV2:";

// `cipher` is any object built by the module's current TwFernet; instances of
// the class made at load are served natively, others through their own
// methods. A str argument stands for its UTF-8 bytes.
nb::object new_token_cipher(nb::handle key);
nb::object cipher_encrypt(nb::handle cipher, nb::handle data, TokenForm form = TokenForm::bytes);
// Decrypts `token`, or the bytes of `token` from `offset` on (the token of
// version-2 data), without copying them where the native route applies.
nb::object cipher_decrypt(nb::handle cipher, nb::handle token, size_t offset = 0);
// Takes the keys out of a TwFernet instance that nothing else refers to,
// wiping those nothing else holds. Never raises; an exception being handled
// is left as it was.
void wipe_token_cipher(nb::handle cipher) noexcept;

// ------------------------------- standard-library steps (standard_calls.cpp)
//
// Each is one call the token and key steps make, through the module's names
// as bound now. While the modules and functions a call uses are the ones
// bound at load, the same value is computed natively.

// os.urandom(size)
nb::object random_bytes(size_t size);
// int(time_module.time())
nb::object clock_seconds();
// struct.pack(">Q", seconds)
nb::object pack_timestamp(nb::handle seconds);
// hmac_mod.new(key, message, hashlib.sha256).digest(), where the message is
// `size` bytes of the bytes object `owner` from `data` on.
nb::object hmac_sha256(nb::handle key, nb::handle owner, const uint8_t* data, size_t size);
// hmac_mod.compare_digest(a, b), as a truth value.
bool digests_equal(nb::handle a, nb::handle b);
// base64.urlsafe_b64encode(data) and base64.urlsafe_b64decode(data); the
// native decoder reads every text as CPython 3.10 does (base64_310.cpp).
nb::object urlsafe_b64encode(nb::handle data);
nb::object urlsafe_b64decode(nb::handle data);
nb::object urlsafe_b64decode_as_310(nb::handle data);
// hashlib.sha256(data).digest()
nb::object sha256_digest(nb::handle data);
// hashlib.pbkdf2_hmac("sha256", password, salt, iterations, size)
nb::object pbkdf2_sha256(nb::handle password, nb::handle salt, int iterations, int size);

// Whether every standard function a whole token operation uses is the one
// bound at load, so that the one-pass route may stand in for the steps.
inline bool native_encryption_route() {
    return natively(original::urandom, original::time, original::pack, original::hmac_new,
                    original::sha256, original::b64encode);
}
inline bool native_decryption_route() {
    return natively(original::b64decode, original::hmac_new, original::sha256,
                    original::compare_digest);
}
// What os.urandom(size) and int(time.time()) give, read from the same
// sources without calling them: only once native_encryption_route() has
// found them to be the originals. An IV's bytes come from the kernel's
// source in batches (tw::platform::pooled_random), never reused by a forked
// child.
void iv_into(uint8_t* out, size_t size);
int64_t time_in_seconds();

// Registration, in the module's binding order.
void bind_token_cipher();
void bind_lattice();

} // namespace tw::lattice
