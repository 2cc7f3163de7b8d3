#include "errors.hpp"

#include <exception>
#include <new>

namespace veka {

void translate_current_exception() noexcept
{
    try {
        throw;
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "pyveka.veka_call: C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pyveka.veka_call: unexpected C++ exception");
    }
}

}  // namespace veka
