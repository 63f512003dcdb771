// Python errors as C++ exceptions.
#include "python/error.hpp"

#include <cstdarg>
#include <typeinfo>

namespace kor::py {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

void raise_current() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "a C-API call failed without setting an error");
    throw nb::python_error();
}

nb::object checked(PyObject* result) {
    if (result == nullptr)
        raise_current();
    return nb::steal(result);
}

nb::object exception_object(nb::python_error& error) {
    error.restore();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
}

void reraise(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const nb::builtin_exception& error) {
        // nanobind's own casts report through these; they carry their Python type.
        PyObject* type = PyExc_RuntimeError;
        switch (error.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::next_overload: type = PyExc_TypeError; break;
            case nb::exception_type::runtime_error: break;
        }
        PyErr_SetString(type, error.what());
    } catch (const std::bad_cast& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace kor::py
