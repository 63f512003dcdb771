// Wall-clock readings.
#include "host/clock.hpp"

#include "python/error.hpp"
#include "python/object.hpp"

namespace kor::host {

nb::object now(const py::Call& call) { return call.global("time").attr("time")(); }

nb::object elapsed_ms(const py::Call& call, nb::handle start) {
    const nb::object end = now(call);
    const nb::object seconds = py::checked(PyNumber_Subtract(end.ptr(), start.ptr()));
    const nb::int_ thousand(1000);
    const nb::object milliseconds = py::checked(PyNumber_Multiply(seconds.ptr(), thousand.ptr()));
    return py::to_int(milliseconds);
}

}  // namespace kor::host
