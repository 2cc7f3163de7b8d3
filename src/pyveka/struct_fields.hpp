// The module's only reads of fields of non-limited interpreter structs, each
// with the reason no API function serves.
#pragma once

#include <Python.h>

#include <cstdint>

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

}  // namespace veka
