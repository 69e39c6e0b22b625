// Placeholder until this concern is built; binds nothing yet.
#include "pagecase/module_state.h"

namespace pagecase {

void bind_picker(nb::module_&) {}

}  // namespace pagecase
