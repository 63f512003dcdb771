// Methods of this subsystem that are not built yet.
#include "report/report.hpp"

#include "python/error.hpp"

namespace kor::report {

nb::object print_summary(const Call&) { py::raise(PyExc_NotImplementedError, "print_summary is not built yet"); }

}  // namespace kor::report
