// Wall-clock readings.
#include "host/clock.hpp"

#include "python/object.hpp"

namespace kor::host {

nb::object now(const py::Call& call) { return call.global("time").attr("time")(); }

nb::object elapsed_ms(const py::Call& call, nb::handle start) {
    return py::to_int((now(call) - start) * nb::int_(1000));
}

}  // namespace kor::host
