// Text as Python builds it: `format(value, spec)` and concatenation of pieces.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace kor::py {

namespace nb = nanobind;

// `format(value, spec)`: a str unchanged, anything else through its own __format__.
nb::str format(nb::handle value, const char* spec = "");

// `text` with each control character (C0, DEL and C1: U+0000-U+001F, U+007F-U+009F) written as
// its escape, `\x1b` for ESC; the same str when it holds none.
nb::str escape_controls(nb::handle text);

// `text.startswith(prefix)` and `text[start:]`, for an exact str `text`.
bool starts_with(nb::handle text, const char* prefix);
nb::str tail(nb::handle text, Py_ssize_t start);

// Joins literal pieces and formatted values into one str, as an f-string would.
class Text {
public:
    Text() = default;

    Text& operator<<(const char* literal);
    // A value is inserted as `format(value, "")`.
    Text& operator<<(nb::handle value);

    nb::str str() const;

private:
    std::vector<nb::object> pieces_;
};

}  // namespace kor::py
