#include "body_ops.hpp"

#include "native_function.hpp"

#include <array>
#include <cassert>
#include <vector>

namespace veka {

// A call of one of the module's own functions goes straight to its entry,
// past the generic call machinery, which would only check again what the
// trampoline guarantees.
PyObject* Frame::vectorcall(PyObject* callable, PyObject* const* args, size_t nargs)
{
    if (Py_TYPE(callable) == k.function_type) return call_native_function(callable, args, nargs, nullptr);
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

Ref Frame::call(Obj callable, std::initializer_list<PyObject*> args, Where where)
{
    where_ = where;
    return checked(vectorcall(callable.get(), args.begin(), args.size()));
}

Ref Frame::call_with_tuple(Obj callable, Obj args_tuple, Where where)
{
    where_ = where;
    PyObject* tuple = args_tuple.get();
    // The items go to the callee as they are: no new tuple per call.
    return checked(vectorcall(callable.get(), &PyTuple_GET_ITEM(tuple, 0),
                              static_cast<size_t>(PyTuple_GET_SIZE(tuple))));
}

Ref Frame::call_prepended(Obj callable, Obj first, std::span<PyObject* const> rest, Where where)
{
    where_ = where;
    std::array<PyObject*, 8> small;
    std::vector<PyObject*> large;
    PyObject** stack = small.data();
    if (rest.size() + 1 > small.size()) {
        large.resize(rest.size() + 1);
        stack = large.data();
    }
    stack[0] = first.get();
    for (size_t i = 0; i < rest.size(); ++i) stack[i + 1] = rest[i];
    return checked(vectorcall(callable.get(), stack, rest.size() + 1));
}

Ref Frame::call_method(Obj obj, Obj name, std::initializer_list<PyObject*> args, Where where)
{
    where_ = where;
    std::array<PyObject*, 4> stack{obj.get()};
    assert(args.size() < stack.size());
    size_t count = 1;
    for (PyObject* arg : args) stack[count++] = arg;
    return checked(PyObject_VectorcallMethod(name.get(), stack.data(), count, nullptr));
}

Ref Frame::call_method(Obj obj, AttributeUse& use, std::initializer_list<PyObject*> args,
                       Where where)
{
    // A module's functions live in its dict and never bind: the attribute is
    // the callable itself.
    if (PyModule_CheckExact(obj.get())) return call(attr(obj, use, where), args, where);
    return call_method(obj, k.*use.name, args, where);
}

bool Frame::equals(Obj left, Obj right, Where where)
{
    where_ = where;
    PyObject* a = left.get();
    PyObject* b = right.get();
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        // str.__eq__ cannot be overridden on exact str: compare directly.
        if (a == b) return true;
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
        return PyUnicode_Compare(a, b) == 0;
    }
    Ref answer = checked(PyObject_RichCompare(a, b, Py_EQ));
    return truth(answer, where);
}

bool Frame::greater(Obj left, Obj right, Where where)
{
    where_ = where;
    Ref answer = checked(PyObject_RichCompare(left.get(), right.get(), Py_GT));
    return truth(answer, where);
}

bool Frame::startswith(Obj obj, Obj prefix, Where where)
{
    where_ = where;
    if (PyUnicode_CheckExact(obj.get())) {
        return checked_truth(static_cast<int>(
            PyUnicode_Tailmatch(obj.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1)));
    }
    Ref answer = call_method(obj, k.startswith, {prefix.get()}, where);
    return truth(answer, where);
}

Ref Frame::word_size_directory(Obj word_size, Where where)
{
    where_ = where;
    // The tokens _bits answers are the module's own constants: their
    // directories are made once. Any other token is formatted afresh.
    if (word_size.get() == k.sixty_four.get()) return k.sixty_four_bit.share();
    if (word_size.get() == k.thirty_two.get()) return k.thirty_two_bit.share();
    Ref formatted = checked(PyObject_Format(word_size.get(), k.empty.get()));
    return checked(PyUnicode_Concat(formatted.get(), k.bit.get()));
}

Ref Frame::str(Obj obj, Where where)
{
    where_ = where;
    return checked(PyObject_Str(obj.get()));
}

Ref Frame::import_from_sibling(SiblingImport& import, Where where)
{
    where_ = where;
    PyObject* name = (k.*import.name.name).get();
    // Straight from the table of loaded modules: a module there that has the
    // name serves as it is, without a trip through the import system. Once
    // shutdown has begun the table may be gone: then only the checked
    // accessor asks for it, and reports its absence as an error.
    PyObject* full_name = (k.*import.full_name).get();
    Ref loaded = Py_IsInitialized()
                     ? cached_lookup(import.loaded_modules, PyImport_GetModuleDict(), full_name)
                     : Ref::steal(PyImport_GetModule(full_name));
    if (!loaded && PyErr_Occurred()) throw PythonError{};
    if (loaded) {
        if (PyModule_CheckExact(loaded.get())) {
            Ref value = cached_lookup(import.name.module_dict, PyModule_GetDict(loaded.get()), name);
            if (value) return value;
            if (PyErr_Occurred()) throw PythonError{};
        }
        // Not in a plain module's dict: its __getattr__, or any other object's
        // attribute lookup, still has the say.
        Ref value = Ref::steal(PyObject_GetAttr(loaded.get(), name));
        if (value) return value;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
    }
    Ref imported = checked(PyImport_ImportModuleLevelObject(
        (k.*import.module).get(), namespace_dict_, k.empty_locals.get(),
        (k.*import.fromlist).get(), 1));
    Ref value = Ref::steal(PyObject_GetAttr(imported.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return checked(value.release());
}

void Frame::raise(PyObject* exception_type, Obj message, Where where)
{
    where_ = where;
    PyErr_SetObject(exception_type, message.get());
    throw PythonError{};
}

}  // namespace veka
