// The per-user state directory and the access token kept in it.
#include "common/classes.h"
#include "pagecase/module_state.h"
#include "pagecase/path_objects.h"
#include "pagecase/state_file.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

constexpr const char* kStateDirVariable = "TIDEWING_MD_STATE_DIR";
constexpr int kTokenBytes = 16;
constexpr int kTokenFileMode = 0600;

nb::object state_dir() {
    nb::object base = ns[names::os].attr("environ").attr("get")(kStateDirVariable);
    nb::object path_class = ns[names::Path];
    nb::object path;
    if (PyUnicode_Check(base.ptr()) && PyUnicode_GET_LENGTH(base.ptr()) > 0) {
        path = path_class(base);
    } else {
        nb::object home = path_class.attr("home")();
        path = home / nb::str(".tidewing") / nb::str("quillery");
    }
    path.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    return path;
}

// The stored token, stripped, or nothing when there is none: an OSError of
// the read means none. Natively, a file that is missing, unreadable, not
// UTF-8, too large, not a regular file, not our own, or reached through a
// link another user planted (state_file.h) holds none either.
std::optional<nb::object> stored_token(nb::handle target) {
    std::optional<nb::object> token;
    if (natively(PathArgument{target})) {
        token = read_state_text(*path_bytes(target, Unnamable::raise), Owner::effective_user);
        if (token) token = token->attr("strip")();
    } else {
        token = tw::py::unless_raised(
            [&] {
                return nb::object(
                    target.attr("read_text")(nb::arg("encoding") = "utf-8").attr("strip")());
            },
            PyExc_OSError);
    }
    if (!token || !truthy(*token)) return std::nullopt;
    return token;
}

// Stores the token where only its owner may read it; a failed write is
// silent, the caller still gets its token. Natively, the file is private
// before the token goes in, and replaced whole where the folder allows
// (atomic_file.h).
void store_token(nb::handle target, nb::handle token) {
    if (natively(PathArgument{target})) {
        require_text_to_write(token);
        std::string path = *path_bytes(target, Unnamable::raise);
        nb::object encoded = steal_checked(PyUnicode_AsUTF8String(token.ptr()));
        std::string_view content(PyBytes_AS_STRING(encoded.ptr()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
        save_state_file(path, content, FileMode::owner_only);
        return;
    }
    try {
        target.attr("write_text")(token, nb::arg("encoding") = "utf-8");
        target.attr("chmod")(kTokenFileMode);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_OSError)) throw;
    }
}

nb::object access_token(nb::handle rotate) {
    nb::object secrets = nb::module_::import_("secrets");
    nb::object directory = ns[names::state_dir]();
    nb::object target = directory / nb::str("access_token");
    if (!truthy(rotate)) {
        if (std::optional<nb::object> existing = stored_token(target)) return *existing;
    }
    nb::object token = secrets.attr("token_urlsafe")(kTokenBytes);
    store_token(target, token);
    return token;
}

} // namespace

void bind_state() {
    tw::py::def(ns, names::state_dir, &state_dir, nb::sig("def state_dir() -> pathlib.Path"),
                "The per-user state directory, created when missing; raises OSError when it cannot "
                "be.\n\n"
                "$TIDEWING_MD_STATE_DIR when set and not empty, else ~/.tidewing/quillery.");
    tw::py::def(ns, names::access_token, &access_token, tw::py::arg("rotate") = false,
                nb::sig("def access_token(rotate: bool = False) -> str"),
                "The access token remote callers must present, made and stored on first use; "
                "`rotate` replaces it.\n\n"
                "A token file that cannot be written leaves the new token unstored but still "
                "returned; the errors of state_dir() propagate.");
}

} // namespace tw::pagecase
