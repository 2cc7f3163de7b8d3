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

// obj.name through the type's own attribute slot, which is what
// PyObject_GetAttr calls once it has checked that the name is a str (the
// module's names all are); null without an exception only for a type with no
// attribute slot at all, which PyObject_GetAttr then handles.
inline getattrofunc attribute_slot(PyObject* object)
{
    return Py_TYPE(object)->tp_getattro;
}

// An exact int's digit count, negative for a negative int: in 3.11 ints keep
// it in ob_size (cpython/longintrepr.h) and never have a leading zero digit,
// so two ints with different counts compare as their counts do.
inline Py_ssize_t signed_digit_count(PyObject* exact_int)
{
    return Py_SIZE(exact_int);
}

// A tuple's items in place, to pass a tuple made once as a call's arguments
// without a new tuple per call; the API offers them only one at a time.
inline std::span<PyObject* const> tuple_items(PyObject* tuple)
{
    return {&PyTuple_GET_ITEM(tuple, 0), static_cast<size_t>(PyTuple_GET_SIZE(tuple))};
}

}  // namespace veka
