// The per-user state directory and the access token kept in it.
#include <fcntl.h>
#include <unistd.h>

#include "common/classes.h"
#include "pagecase/core/atomic_file.h"
#include "pagecase/module_state.h"

namespace tw::pagecase {
namespace {

using tw::py::steal_checked;

constexpr const char* kStateDirVariable = "TIDEWING_MD_STATE_DIR";
constexpr int kTokenBytes = 16;

nb::object state_dir() {
    nb::object base = ns[names::os].attr("environ").attr("get")(kStateDirVariable);
    nb::object path_class = ns[names::Path];
    nb::object path;
    if (PyUnicode_Check(base.ptr()) && PyUnicode_GET_LENGTH(base.ptr()) > 0) {
        path = path_class(base);
    } else {
        nb::object home = path_class.attr("home")();
        path = steal_checked(PyNumber_TrueDivide(home.ptr(), nb::str(".tidewing").ptr()));
        path = steal_checked(PyNumber_TrueDivide(path.ptr(), nb::str("quillery").ptr()));
    }
    path.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    return path;
}

// The stored token, or nothing when the file is missing, unreadable, not
// UTF-8, or blank.
std::optional<nb::object> stored_token(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    bool failed = false;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (failed) return std::nullopt;
    PyObject* text =
        PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), nullptr);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    nb::object token = nb::steal(text);
    // Text-mode reading turns CR LF and lone CR into LF.
    if (content.find('\r') != std::string::npos)
        token = token.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
    token = token.attr("strip")();
    if (PyUnicode_GET_LENGTH(token.ptr()) == 0) return std::nullopt;
    return token;
}

nb::object access_token(nb::handle rotate) {
    nb::object secrets = nb::module_::import_("secrets");
    nb::object directory = ns[names::state_dir]();
    nb::object target =
        steal_checked(PyNumber_TrueDivide(directory.ptr(), nb::str("access_token").ptr()));
    std::string path = path_bytes(target);
    if (!truthy(rotate)) {
        if (std::optional<nb::object> existing = stored_token(path)) return *existing;
    }
    nb::object token = secrets.attr("token_urlsafe")(kTokenBytes);
    // Never readable by others, never half written: a private temporary file
    // renamed over the old one. A failed write is silent; the caller still
    // gets its token.
    nb::object encoded = steal_checked(PyUnicode_AsUTF8String(token.ptr()));
    std::string_view content(PyBytes_AS_STRING(encoded.ptr()),
                             static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    int error = 0;
    Py_BEGIN_ALLOW_THREADS error = replace_file(path, content, FileMode::owner_only);
    Py_END_ALLOW_THREADS(void) error;
    return token;
}

} // namespace

void bind_state(nb::module_& m) {
    m.def("state_dir", &state_dir, nb::sig("def state_dir() -> pathlib.Path"),
          "The per-user state directory, created when missing.");
    m.def("access_token", &access_token, tw::py::arg("rotate") = false,
          nb::sig("def access_token(rotate: bool = False) -> str"),
          "The access token remote callers must present; `rotate` replaces it.");
}

} // namespace tw::pagecase
