// The standard-library calls the token cipher makes for every token: the
// HMAC-SHA256 tag and URL-safe base64 in both directions.
//
// Each is looked up on the module at the moment of the call. While the
// modules and functions involved are still the ones bound at load, a shorter
// route through the same standard modules gives the identical result:
// `hmac.digest(key, msg, "sha256")` instead of building an HMAC object, and
// `base64.b64encode` / `b64decode` with the URL-safe alphabet swapped natively
// (in place on the fresh result, or in the one copy decoding needs) instead
// of a second `bytes.translate` pass. A host that rebinds any of them gets
// the documented calls through its own objects.
#include <cstring>

#include "tw_lattice/module_state.h"

namespace tw::lattice {
namespace {

using tw::py::steal_checked;

// Functions of the standard modules as bound at load, held for the process.
struct LoadedFunctions {
    nb::handle hmac_new, hmac_digest, sha256, urlsafe_b64encode, urlsafe_b64decode;
};
LoadedFunctions loaded;

nb::handle hold(nb::handle module, const char* name) {
    return nb::object(module.attr(name)).release();
}

// Whether `module.name` is still `original`.
bool attribute_is(nb::handle module, const char* name, nb::handle original) {
    PyObject* current = PyObject_GetAttrString(module.ptr(), name);
    if (!current) throw nb::python_error();
    const bool same = current == original.ptr();
    Py_DECREF(current);
    return same;
}

// A new bytes object with the same contents that we alone hold (allocating
// without a source never hands out the cached one-character objects).
nb::object fresh_copy(nb::handle bytes) {
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes.ptr());
    nb::object copy = steal_checked(PyBytes_FromStringAndSize(nullptr, size));
    if (size)
        std::memcpy(PyBytes_AS_STRING(copy.ptr()), PyBytes_AS_STRING(bytes.ptr()),
                    static_cast<size_t>(size));
    return copy;
}

// Swaps two characters of the base64 alphabet, in place in a fresh object.
void swap_alphabet(nb::handle bytes, char from_a, char to_a, char from_b, char to_b) {
    char* data = PyBytes_AS_STRING(bytes.ptr());
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes.ptr());
    for (Py_ssize_t i = 0; i < size; ++i) {
        const char c = data[i];
        data[i] = c == from_a ? to_a : c == from_b ? to_b : c;
    }
}

} // namespace

void remember_standard_functions() {
    for (const Name* name : {&names::base64, &names::hashlib, &names::hmac_mod})
        ns.remember(*name);
    nb::handle hmac = ns.original(names::hmac_mod), base64 = ns.original(names::base64);
    loaded.hmac_new = hold(hmac, "new");
    loaded.hmac_digest = hold(hmac, "digest");
    loaded.sha256 = hold(ns.original(names::hashlib), "sha256");
    loaded.urlsafe_b64encode = hold(base64, "urlsafe_b64encode");
    loaded.urlsafe_b64decode = hold(base64, "urlsafe_b64decode");
}

nb::object hmac_sha256(nb::handle key, nb::handle message) {
    nb::object hmac = ns[names::hmac_mod], hashlib = ns[names::hashlib];
    if (PyBytes_CheckExact(key.ptr()) && ns.unchanged(names::hmac_mod) &&
        ns.unchanged(names::hashlib) && attribute_is(hmac, "new", loaded.hmac_new) &&
        attribute_is(hmac, "digest", loaded.hmac_digest) &&
        attribute_is(hashlib, "sha256", loaded.sha256))
        return nb::borrow(loaded.hmac_digest)(key, message, "sha256");
    return hmac.attr("new")(key, message, hashlib.attr("sha256")).attr("digest")();
}

nb::object urlsafe_b64encode(nb::handle data) {
    nb::object base64 = ns[names::base64];
    if (!ns.unchanged(names::base64) ||
        !attribute_is(base64, "urlsafe_b64encode", loaded.urlsafe_b64encode))
        return base64.attr("urlsafe_b64encode")(data);
    // urlsafe_b64encode is b64encode(data).translate(...): swap in place on a
    // result nothing else can see yet.
    nb::object encoded = base64.attr("b64encode")(data);
    if (!PyBytes_CheckExact(encoded.ptr())) return base64.attr("urlsafe_b64encode")(data);
    if (Py_REFCNT(encoded.ptr()) != 1) encoded = fresh_copy(encoded);
    swap_alphabet(encoded, '+', '-', '/', '_');
    return encoded;
}

nb::object urlsafe_b64decode(nb::handle data) {
    nb::object base64 = ns[names::base64];
    if (!PyBytes_Check(data.ptr()) || !ns.unchanged(names::base64) ||
        !attribute_is(base64, "urlsafe_b64decode", loaded.urlsafe_b64decode))
        return base64.attr("urlsafe_b64decode")(data);
    // urlsafe_b64decode is b64decode(data.translate(...)): one native copy
    // with the alphabet swapped back.
    nb::object standard = fresh_copy(data);
    swap_alphabet(standard, '-', '+', '_', '/');
    return base64.attr("b64decode")(standard);
}

} // namespace tw::lattice
