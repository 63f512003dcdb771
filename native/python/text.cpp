// Text formatting and concatenation.
#include "python/text.hpp"

#include "python/error.hpp"

namespace kor::py {

nb::str format(nb::handle value, const char* spec) {
    if (PyUnicode_CheckExact(value.ptr()) && spec[0] == '\0')
        return nb::borrow<nb::str>(value);
    const nb::str format_spec(spec);
    return nb::steal<nb::str>(checked(PyObject_Format(value.ptr(), format_spec.ptr())).release());
}

bool starts_with(nb::handle text, const char* prefix) {
    const nb::str head(prefix);
    const Py_ssize_t result = PyUnicode_Tailmatch(text.ptr(), head.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (result < 0)
        raise_current();
    return result != 0;
}

nb::str tail(nb::handle text, Py_ssize_t start) {
    return nb::steal<nb::str>(
        checked(PyUnicode_Substring(text.ptr(), start, PY_SSIZE_T_MAX)).release());
}

Text& Text::operator<<(const char* literal) {
    pieces_.push_back(nb::str(literal));
    return *this;
}

Text& Text::operator<<(nb::handle value) {
    pieces_.push_back(format(value));
    return *this;
}

nb::str Text::str() const {
    nb::list parts;
    for (const nb::object& piece : pieces_)
        parts.append(piece);
    const nb::str empty("");
    return nb::steal<nb::str>(checked(PyUnicode_Join(empty.ptr(), parts.ptr())).release());
}

}  // namespace kor::py
