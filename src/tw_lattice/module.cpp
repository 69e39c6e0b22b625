// The extension module tidewing_lattice.tw_lattice: AES-128-CBC with its C
// interface, the token cipher, and string and data encryption.
//
// Initialisation fixes the AES and SHA-256 implementations for the process,
// then binds the standard modules under the names the functions look up at
// each call, the token cipher's classes, and `tw_lattice`.
#include "common/host_life.h"
#include "common/needs_gil.h"
#include "tw_lattice/core/aes.h"
#include "tw_lattice/core/sha256.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {
namespace {

void bind_standard_modules() {
    ns.set(names::base64, nb::module_::import_("base64"));
    ns.set(names::hashlib, nb::module_::import_("hashlib"));
    ns.set(names::hmac_mod, nb::module_::import_("hmac"));
    ns.set(names::os, nb::module_::import_("os"));
    ns.set(names::struct_, nb::module_::import_("struct"));
    ns.set(names::time_module, nb::module_::import_("time"));
}

bool initialised = false;

} // namespace
} // namespace tw::lattice

NB_MODULE(tw_lattice, m) {
    using namespace tw::lattice;
    tw::py::refuse_second_initialisation(initialised, kModuleName);
    m.doc() = "Authenticated encryption of strings, data and files: AES-128-CBC, a token "
              "cipher in the Fernet format, and the tw_lattice class.";
    ns.attach(m);
    tw::py::install_host_hooks();
    tw::lattice::aes_select_implementation();
    tw::lattice::sha256::select_implementation();
    nb::list all;
    all.append("tw_lattice");
    ns.set(names::all_name, all);
    bind_standard_modules();
    bind_token_cipher();
    bind_lattice();
    tw::py::Original::remember_all(ns);
}
