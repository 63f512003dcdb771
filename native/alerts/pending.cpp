// Methods of this subsystem that are not built yet.
#include "alerts/alerts.hpp"

#include "python/error.hpp"

namespace kor::alerts {

nb::object generate_alerts(const Call&) { py::raise(PyExc_NotImplementedError, "generate_alerts is not built yet"); }

}  // namespace kor::alerts
