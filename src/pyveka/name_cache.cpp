// What the two implementations of the caches share (name_cache.hpp).
#include "name_cache.hpp"

namespace veka {

void forget(NameCache& cache) noexcept
{
    cache.dict = nullptr;
    cache.lent = nullptr;
    const Ref dropped = std::move(cache.value);
}

bool keys_are_exact_str(PyObject* dict) noexcept
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

Ref fresh_lookup(PyObject* dict, PyObject* name)
{
    const Ref held = Ref::borrow(dict);
    return check_lookup(into_python(PyDict_GetItemWithError, held.get(), name));
}

}  // namespace veka
