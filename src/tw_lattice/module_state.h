// What the encryption module's Python-facing files share: the module
// namespace they read at call time, the names in it, small conversions, and
// the token cipher's operations that tw_lattice calls directly.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/errors.h"
#include "common/namespace.h"
#include "common/objects.h"

namespace tw::lattice {

namespace nb = nanobind;
using tw::py::Name;

inline constexpr const char* kModuleName = "tidewing_lattice.tw_lattice";

inline tw::py::ModuleNamespace ns;

// Module attributes, in the order the module binds them.
namespace names {
inline const Name base64{"base64"}, hashlib{"hashlib"}, hmac_mod{"hmac_mod"}, os{"os"},
    struct_{"struct"}, time_module{"time_module"};
inline const Name InvalidToken{"InvalidToken"}, TwFernet{"TwFernet"}, tw_lattice{"tw_lattice"};
} // namespace names

inline const uint8_t* bytes_data(nb::handle bytes) {
    return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes.ptr()));
}

inline size_t bytes_size(nb::handle bytes) {
    return static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()));
}

inline nb::object new_bytes(const void* data, size_t size) {
    return tw::py::steal_checked(
        PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// `text.encode()`: UTF-8, strict.
inline nb::object utf8_of(nb::handle text) {
    return tw::py::steal_checked(PyUnicode_AsUTF8String(text.ptr()));
}

// `data.decode()` for the bytes a token cipher returns.
nb::object decoded_text(nb::handle data);

using tw::py::truthy;

// TypeError: "<function>() argument '<argument>' must be <expected>, not <type>".
[[noreturn]] void raise_argument_type(const char* function, const char* argument,
                                      const char* expected, nb::handle value);

// A bytes object holding key material, overwritten when the holder dies if
// nothing else refers to it by then (a shared object is left alone: someone
// may still read it).
class KeyBytes {
  public:
    KeyBytes() = default;
    explicit KeyBytes(nb::object bytes) : bytes_(std::move(bytes)) {}
    KeyBytes(const KeyBytes&) = delete;
    KeyBytes& operator=(const KeyBytes&) = delete;
    ~KeyBytes();
    nb::handle get() const { return bytes_; }

  private:
    nb::object bytes_;
};

// The token cipher (token_cipher.cpp). `cipher` is any object built by the
// module's current TwFernet; instances of the class made at load are served
// natively, others through their own methods.
nb::object new_token_cipher(nb::handle key);
nb::object cipher_encrypt(nb::handle cipher, nb::handle data);
nb::object cipher_decrypt(nb::handle cipher, nb::handle token);
// Overwrites the keys of a TwFernet instance that nothing else refers to.
void wipe_token_cipher(nb::handle cipher);

// The standard-library calls of every token (standard_calls.cpp), through the
// modules bound now: hmac_mod.new(key, message, hashlib.sha256).digest(),
// base64.urlsafe_b64encode(data) and base64.urlsafe_b64decode(data).
nb::object hmac_sha256(nb::handle key, nb::handle message);
nb::object urlsafe_b64encode(nb::handle data);
nb::object urlsafe_b64decode(nb::handle data);
void remember_standard_functions();

// Registration, in the module's binding order.
void bind_token_cipher(nb::module_& m);
void bind_lattice(nb::module_& m);

} // namespace tw::lattice
