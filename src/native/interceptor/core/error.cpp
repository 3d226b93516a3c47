// The error channel's one conversion from C++ exceptions.
#include "core/error.hpp"

#include <exception>
#include <new>

namespace interceptor {

void set_error_from_current() noexcept {
    try {
        throw;
    } catch (PyErrSet&) {
        // already on the indicator
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_SystemError, "interceptor: internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "interceptor: unknown internal error");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interceptor: error without exception");
}

}  // namespace interceptor
