// Text from data on its way into Rich markup.
#pragma once

#include <nanobind/nanobind.h>

namespace kor::host {

namespace nb = nanobind;

// `rich.markup.escape(str(value))`: brackets in names and values print literally.
nb::str escaped(nb::handle value);

}  // namespace kor::host
