// The ready keys of TwFernet instances (token_keys.cpp), for the token
// cipher's native route.
#pragma once

#include <memory>

#include "tw_lattice/core/token_stream.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/module_state.h"

namespace tw::lattice {

// A cipher's ready keys and the key bytes they were made from.
struct ReadyKeys {
    ReadyKeys(nb::handle signing, nb::handle encryption);

    token::CipherKeys keys;
    SecretBuffer signing_source;
    Wiped<uint8_t[token::kKeySize]> encryption_source;
};

// The ready keys of `instance` for its key attributes `signing` (bytes) and
// `encryption` (16 bytes), made now or kept from an earlier call.
std::shared_ptr<const ReadyKeys> ready_keys(nb::handle instance, nb::handle signing,
                                            nb::handle encryption);

} // namespace tw::lattice
