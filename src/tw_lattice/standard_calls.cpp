// The standard-library calls the token and key steps make: os.urandom,
// time.time, struct.pack, hmac.new and hmac.compare_digest, URL-safe base64,
// hashlib.sha256 and hashlib.pbkdf2_hmac.
//
// Each is looked up on the module at the moment of the call. While the module
// attribute and the function inside the standard module are still the ones
// bound at load, the value is computed natively instead (the core's SHA-256,
// HMAC, PBKDF2 and base64, the kernel's random source, the system clock),
// bit for bit the same; base64 text that is not canonical is read as
// CPython 3.10's decoder reads it, on every release (base64_310.cpp). A host
// that rebinds or patches any of them (a test pinning the IV or the clock)
// gets the call through its own objects, and what they give on the running
// interpreter.
#include <cstring>

#include "common/gil.h"
#include "common/interruption.h"
#include "common/platform/platform.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/pbkdf2.h"
#include "tw_lattice/core/sha256.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {
namespace {

using tw::py::steal_checked;

// The system's random source as os.urandom reads it (getrandom(2) on Linux),
// blocking until it is seeded, and asked again after a signal as the
// interpreter's own calls are (a handler that raises ends it). False when
// the source is unavailable; os.urandom then has ways of its own. A key or
// an IV: short work, with the lock kept.
bool kernel_random(uint8_t* out, size_t size,
                   int (*source)(void*, size_t) noexcept = tw::platform::secure_random) {
    const int error = tw::py::run_native(
        [&] { return tw::interruption::retried([&] { return source(out, size); }); },
        tw::py::Gil::keep);
    return error == 0;
}

// Copies `size` bytes of a bytes object from the original os.urandom.
void copy_exact(nb::handle bytes, uint8_t* out, size_t size) {
    if (!PyBytes_Check(bytes.ptr()) || bytes_size(bytes) != size)
        tw::py::raise(PyExc_ValueError, "os.urandom returned the wrong number of bytes");
    std::memcpy(out, bytes_data(bytes), size);
}

// The bytes object behind a base64 argument that the native route can take:
// bytes (any subclass reads the same) or a str of ASCII characters, as the
// standard functions accept.
std::optional<std::string_view> base64_input(nb::handle data) {
    if (PyBytes_Check(data.ptr()))
        return std::string_view(PyBytes_AS_STRING(data.ptr()), bytes_size(data));
    if (PyUnicode_Check(data.ptr())) return ascii_text(data);
    return std::nullopt;
}

} // namespace

void iv_into(uint8_t* out, size_t size) {
    if (!kernel_random(out, size, tw::platform::pooled_random))
        copy_exact(nb::borrow(original::urandom.loaded())(size), out, size);
}

int64_t time_in_seconds() {
    int64_t nanoseconds = 0;
    if (const int error = tw::platform::wall_clock(nanoseconds)) tw::py::raise_os_error(error);
    // time.time() turns the nanoseconds into a float exactly this way;
    // int() then truncates.
    volatile double seconds;
    if (nanoseconds % 1'000'000'000 == 0) {
        seconds = static_cast<double>(nanoseconds / 1'000'000'000);
    } else {
        seconds = static_cast<double>(nanoseconds);
        seconds = seconds / 1e9;
    }
    return static_cast<int64_t>(seconds);
}

nb::object random_bytes(size_t size) {
    if (natively(original::urandom)) {
        nb::object out = uninitialised_bytes(size);
        if (kernel_random(bytes_data_mut(out), size)) return out;
    }
    return original::urandom.current()(size);
}

nb::object clock_seconds() {
    if (natively(original::time)) return steal_checked(PyLong_FromLongLong(time_in_seconds()));
    return steal_checked(PyNumber_Long(original::time.current()().ptr()));
}

nb::object pack_timestamp(nb::handle seconds) {
    if (natively(original::pack) && PyLong_CheckExact(seconds.ptr())) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(seconds.ptr());
        if (value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
            uint8_t packed[8];
            store_be64(packed, value);
            return new_bytes(packed, sizeof packed);
        }
        PyErr_Clear(); // out of range: struct.error, from struct itself
    }
    return original::pack.current()(">Q", seconds);
}

nb::object hmac_sha256(nb::handle key, nb::handle owner, const uint8_t* data, size_t size) {
    if (PyBytes_Check(key.ptr()) && natively(original::hmac_new, original::sha256)) {
        uint8_t tag[hmac::kTagSize];
        tw::py::run_native(
            [&] { hmac::hmac_sha256(bytes_data(key), bytes_size(key), data, size, tag); },
            tw::py::release_for_bytes(size));
        return new_bytes(tag, sizeof tag);
    }
    nb::object view = steal_checked(PyMemoryView_FromObject(owner.ptr()));
    const Py_ssize_t start = reinterpret_cast<const char*>(data) - PyBytes_AS_STRING(owner.ptr());
    nb::object message = steal_checked(
        PySequence_GetSlice(view.ptr(), start, start + static_cast<Py_ssize_t>(size)));
    return original::hmac_new.current()(key, message, ns[names::hashlib].attr("sha256"))
        .attr("digest")();
}

bool digests_equal(nb::handle a, nb::handle b) {
    if (PyBytes_CheckExact(a.ptr()) && PyBytes_CheckExact(b.ptr()) &&
        natively(original::compare_digest))
        return bytes_size(a) == bytes_size(b) &&
               hmac::tags_equal(bytes_data(a), bytes_data(b), bytes_size(a));
    return truthy(original::compare_digest.current()(a, b));
}

nb::object urlsafe_b64encode(nb::handle data) {
    if (PyBytes_Check(data.ptr()) && natively(original::b64encode)) {
        const size_t size = bytes_size(data);
        nb::object text = uninitialised_bytes(base64::encoded_size(size));
        tw::py::run_native(
            [&] {
                base64::encode(bytes_data(data), size,
                               reinterpret_cast<char*>(bytes_data_mut(text)));
            },
            tw::py::release_for_bytes(size));
        return text;
    }
    return original::b64encode.current()(data);
}

nb::object urlsafe_b64decode(nb::handle data) {
    if (!natively(original::b64decode)) return original::b64decode.current()(data);
    if (const std::optional<std::string_view> text = base64_input(data)) {
        if (const auto size = base64::canonical_decoded_size(text->data(), text->size())) {
            KeyBytes decoded(uninitialised_bytes(*size)); // keys are decoded here too
            const bool canonical = tw::py::run_native(
                [&] {
                    return base64::decode(text->data(), text->size(),
                                          bytes_data_mut(decoded.get()));
                },
                tw::py::release_for_bytes(text->size()));
            if (canonical) return decoded.release();
        }
    }
    return urlsafe_b64decode_as_310(data);
}

nb::object sha256_digest(nb::handle data) {
    if (PyBytes_Check(data.ptr()) && natively(original::sha256)) {
        uint8_t digest[sha256::kDigestSize];
        sha256::digest(bytes_data(data), bytes_size(data), digest);
        return new_bytes(digest, sizeof digest);
    }
    return original::sha256.current()(data).attr("digest")();
}

nb::object pbkdf2_sha256(nb::handle password, nb::handle salt, int iterations, int size) {
    if (PyBytes_Check(password.ptr()) && PyBytes_Check(salt.ptr()) && iterations > 0 && size > 0 &&
        natively(original::pbkdf2_hmac)) {
        nb::object derived = uninitialised_bytes(static_cast<size_t>(size));
        // 100,000 iterations take milliseconds: always worth the lock.
        tw::py::run_native(
            [&] {
                pbkdf2_hmac_sha256(bytes_data(password), bytes_size(password), bytes_data(salt),
                                   bytes_size(salt), static_cast<uint32_t>(iterations),
                                   bytes_data_mut(derived), static_cast<size_t>(size));
            },
            tw::py::Gil::release);
        return derived;
    }
    return original::pbkdf2_hmac.current()("sha256", password, salt, iterations, size);
}

} // namespace tw::lattice
