// Methods of this subsystem that are not built yet.
#include "execution/execution.hpp"

#include "python/error.hpp"

namespace kor::execution {

nb::object get_adapter(const Call&) { py::raise(PyExc_NotImplementedError, "get_adapter is not built yet"); }
nb::object get_columns_from_db(const Call&) { py::raise(PyExc_NotImplementedError, "get_columns_from_db is not built yet"); }
nb::object get_row_count(const Call&) { py::raise(PyExc_NotImplementedError, "get_row_count is not built yet"); }
nb::object build_fqn(const Call&) { py::raise(PyExc_NotImplementedError, "build_fqn is not built yet"); }

}  // namespace kor::execution
