// The ready keys of TwFernet instances: the HMAC states of `_signing_key` and
// the AES schedule of `_encryption_key`, made on an instance's first native
// call and kept until it dies, so a key is prepared once, not per token.
//
// An entry keeps copies of the key bytes it was made from, and every use
// compares them (in constant time) with the instance's current attributes: a
// host that assigns another key gets keys made afresh. A weak reference's
// callback drops and wipes the entry when the instance dies. Callers hold a
// shared pointer for as long as they use the keys, without the GIL too, so
// neither a replacement nor the instance's death frees them under a call.
#include <memory>
#include <unordered_map>

#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"
#include "tw_lattice/token_keys.h"

namespace tw::lattice {
namespace {

struct Entry {
    std::shared_ptr<const ReadyKeys> keys;
    nb::object weak_reference;
};

// Lives for the process: entries may outlive the module's last reference,
// and their weak references must not be released after the interpreter.
std::unordered_map<PyObject*, Entry>& entries() {
    static auto* table = new std::unordered_map<PyObject*, Entry>();
    return *table;
}

bool made_from(const ReadyKeys& ready, nb::handle signing, nb::handle encryption) {
    return ready.signing_source.size() == bytes_size(signing) &&
           hmac::tags_equal(ready.signing_source.data(), bytes_data(signing),
                            bytes_size(signing)) &&
           hmac::tags_equal(ready.encryption_source.value, bytes_data(encryption), token::kKeySize);
}

// A weak reference to `instance` whose callback drops its entry; nothing
// when the instance takes no weak references.
nb::object watch(nb::handle instance) {
    PyObject* key = instance.ptr();
    nb::object forget = nb::cpp_function([key](nb::handle) { entries().erase(key); });
    PyObject* reference = PyWeakref_NewRef(instance.ptr(), forget.ptr());
    if (!reference) {
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(reference);
}

} // namespace

ReadyKeys::ReadyKeys(nb::handle signing, nb::handle encryption)
    : keys(bytes_data(signing), bytes_size(signing), bytes_data(encryption)),
      signing_source(bytes_data(signing), bytes_size(signing)) {
    std::memcpy(encryption_source.value, bytes_data(encryption), token::kKeySize);
}

std::shared_ptr<const ReadyKeys> ready_keys(nb::handle instance, nb::handle signing,
                                            nb::handle encryption) {
    auto found = entries().find(instance.ptr());
    if (found != entries().end() && made_from(*found->second.keys, signing, encryption))
        return found->second.keys;
    auto keys = std::make_shared<const ReadyKeys>(signing, encryption);
    if (found != entries().end()) {
        found->second.keys = keys;
    } else if (nb::object reference = watch(instance)) {
        entries().emplace(instance.ptr(), Entry{keys, std::move(reference)});
    }
    return keys;
}

} // namespace tw::lattice
