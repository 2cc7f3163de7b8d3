// The module's reads of fields of interpreter structs that the limited API
// does not expose, each with the reason no API function serves. Everything
// else goes through API functions and the documented macros.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace veka {

// The dict's version tag changes on every modification; 3.11 has no accessor for it.
inline std::uint64_t dict_version(PyObject* dict)
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The type's name as the interpreter's own messages print it ("collections.OrderedDict");
// PyType_GetName gives only its last part.
inline const char* type_name_for_messages(PyObject* object)
{
    return Py_TYPE(object)->tp_name;
}

// A tuple's items in place, to pass a tuple made once as a call's arguments
// without a new tuple per call; the API offers them only one at a time.
inline std::span<PyObject* const> tuple_items(PyObject* tuple)
{
    return {&PyTuple_GET_ITEM(tuple, 0), static_cast<size_t>(PyTuple_GET_SIZE(tuple))};
}

}  // namespace veka
