// Special-method lookup and __exit__ calls for with-blocks.
#include "python/with_block.hpp"

namespace kor::py::detail {

nb::object special_method(nb::handle manager, const char* name, const char* missing) {
    const nb::str key(name);
    PyObject* const found = _PyType_Lookup(Py_TYPE(manager.ptr()), key.ptr());
    if (found == nullptr)
        raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
              Py_TYPE(manager.ptr())->tp_name, missing);
    const descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (bind == nullptr)
        return nb::borrow(found);
    return checked(bind(found, manager.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()))));
}

bool exit_with(nb::handle exit, nb::handle exception) {
    // Restores the previously handled exception however __exit__ ends.
    struct HandledException {
        explicit HandledException(nb::handle now) : previous(nb::steal(PyErr_GetHandledException())) {
            PyErr_SetHandledException(now.ptr());
        }
        ~HandledException() { PyErr_SetHandledException(previous.ptr()); }
        nb::object previous;
    } const handled(exception);

    nb::object traceback = nb::steal(PyException_GetTraceback(exception.ptr()));
    if (!traceback.is_valid())
        traceback = nb::none();
    const nb::object verdict = exit(exception.type(), exception, traceback);
    const int suppress = PyObject_IsTrue(verdict.ptr());
    if (suppress < 0)
        raise_current();
    return suppress != 0;
}

}  // namespace kor::py::detail
