// Methods of this subsystem that are not built yet.
#include "execution/execution.hpp"

#include "python/error.hpp"

namespace kor::execution {

nb::object profile_with_progress(const Call&) { py::raise(PyExc_NotImplementedError, "profile_with_progress is not built yet"); }
nb::object profile_without_progress(const Call&) { py::raise(PyExc_NotImplementedError, "profile_without_progress is not built yet"); }
nb::object profile_node(const Call&) { py::raise(PyExc_NotImplementedError, "profile_node is not built yet"); }
nb::object execute_profile(const Call&) { py::raise(PyExc_NotImplementedError, "execute_profile is not built yet"); }

}  // namespace kor::execution
