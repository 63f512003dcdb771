// Text formatting and concatenation.
#include "python/text.hpp"

#include "python/error.hpp"

#include <cstddef>
#include <string>

namespace kor::py {

nb::str format(nb::handle value, const char* spec) {
    if (PyUnicode_CheckExact(value.ptr()) && spec[0] == '\0')
        return nb::borrow<nb::str>(value);
    const nb::str format_spec(spec);
    return nb::steal<nb::str>(checked(PyObject_Format(value.ptr(), format_spec.ptr())).release());
}

namespace {

bool is_control(Py_UCS4 c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

}  // namespace

nb::str escape_controls(nb::handle text) {
    PyObject* const s = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0)
        raise_current();
#endif
    const Py_ssize_t size = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* const data = PyUnicode_DATA(s);
    Py_ssize_t first = 0;
    while (first < size && !is_control(PyUnicode_READ(kind, data, first)))
        ++first;
    if (first == size)
        return nb::borrow<nb::str>(text);

    constexpr char digits[] = "0123456789abcdef";
    std::u32string escaped;
    escaped.reserve(static_cast<std::size_t>(size) + 8);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (is_control(c))
            escaped.append({U'\\', U'x', static_cast<char32_t>(digits[c >> 4]),
                            static_cast<char32_t>(digits[c & 0xf])});
        else
            escaped.push_back(c);
    }
    return nb::steal<nb::str>(checked(PyUnicode_FromKindAndData(
                                          PyUnicode_4BYTE_KIND, escaped.data(),
                                          static_cast<Py_ssize_t>(escaped.size())))
                                  .release());
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
