// Methods of this subsystem that are not built yet.
#include "store/store.hpp"

#include "python/error.hpp"

namespace kor::store {

nb::object store_profile(const Call&) { py::raise(PyExc_NotImplementedError, "store_profile is not built yet"); }

}  // namespace kor::store
