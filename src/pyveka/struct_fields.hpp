// The module's reads of fields of interpreter structs that the limited API
// does not expose, each with the reason no API function serves. Everything
// else goes through API functions and the documented macros.
#pragma once

#include "owned_ref.hpp"

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

// A type's version tag, or 0 when it has none. 3.11 gives a type a new tag on
// every change of the type or of a base (the interpreter's own attribute and
// method caches rest on it), and no API reads it.
inline unsigned int type_version(PyTypeObject* type)
{
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The instance dict of an object whose type keeps one at a fixed offset, as
// modules and types.SimpleNamespace do; null for a managed dict (Python
// classes in 3.11 keep their instance values inline) or no dict. The API only
// reaches the dict by making one where there is none, or by a call
// (PyModule_GetDict) for the same field.
inline PyObject* plain_instance_dict(PyObject* object)
{
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_dictoffset <= 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        return nullptr;
    }
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + type->tp_dictoffset);
}

// Whether what the type or a base holds under `name` could take precedence
// over an instance dict, now or later: a data descriptor, or an object of a
// mutable type, which could become one without changing the type's version
// tag (the interpreter's own attribute specialiser refuses those too). Walks
// the MRO as PyObject_GenericGetAttr's type lookup does; true, to be safe,
// when that cannot be told.
inline bool type_may_take_precedence(PyTypeObject* type, PyObject* name)
{
    // Owned: a key's __eq__ may replace the type's bases while we look.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return true;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro.get()); ++index) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), index));
        PyObject* base_dict = base->tp_dict;
        if (!base_dict) return true;
        PyObject* attribute = PyDict_GetItemWithError(base_dict, name);
        if (attribute) {
            PyTypeObject* attribute_type = Py_TYPE(attribute);
            return attribute_type->tp_descr_set != nullptr ||
                   !PyType_HasFeature(attribute_type, Py_TPFLAGS_IMMUTABLETYPE);
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
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
