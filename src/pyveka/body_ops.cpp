#include "body_ops.hpp"

#include <array>
#include <cassert>
#include <vector>

namespace veka {

// A call of one of the module's own functions goes straight to its entry,
// past the generic call machinery, which would only check again what that
// entry guarantees.
PyObject* Frame::vectorcall(PyObject* callable, PyObject* const* args, size_t nargs)
{
    if (Py_TYPE(callable) == reinterpret_cast<PyTypeObject*>(k.function_type.get())) {
        return PyVectorcall_Function(callable)(callable, args, nargs, nullptr);
    }
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

Ref Frame::call(Obj callable, std::initializer_list<PyObject*> args, Where where)
{
    where_ = where;
    return check(vectorcall(callable.get(), args.begin(), args.size()), where);
}

Ref Frame::call_with_tuple(Obj callable, Obj args_tuple, Where where)
{
    where_ = where;
    // The items go to the callee as they are: no new tuple per call.
    std::span<PyObject* const> items = tuple_items(args_tuple.get());
    return check(vectorcall(callable.get(), items.data(), items.size()), where);
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
    return check(vectorcall(callable.get(), stack, rest.size() + 1), where);
}

Ref Frame::call_method(Obj obj, Obj name, std::initializer_list<PyObject*> args, Where where)
{
    where_ = where;
    std::array<PyObject*, 4> stack{obj.get()};
    assert(args.size() < stack.size());
    size_t count = 1;
    for (PyObject* arg : args) stack[count++] = arg;
    return check(PyObject_VectorcallMethod(name.get(), stack.data(), count, nullptr), where);
}

Ref Frame::call_method(Obj obj, AttributeUse& use, std::initializer_list<PyObject*> args,
                       Where where)
{
    // What a module's or an object's own dict holds never binds: the attribute
    // is the callable itself.
    if (PyModule_CheckExact(obj.get()) || reads_own_dict(obj.get())) {
        return call(attr(obj, use, where), args, where);
    }
    return call_method(obj, k.*use.name, args, where);
}

bool Frame::compare(PyObject* left, PyObject* right, int op, Where where)
{
    Ref answer = check(PyObject_RichCompare(left, right, op), where);
    return truth(answer, where);
}

bool Frame::startswith(Obj obj, Obj prefix, Where where)
{
    where_ = where;
    if (PyUnicode_CheckExact(obj.get())) {
        const Py_ssize_t match =
            PyUnicode_Tailmatch(obj.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        return check_status(static_cast<int>(match), where) != 0;
    }
    Ref answer = call_method(obj, k.startswith, {prefix.get()}, where);
    return truth(answer, where);
}

Ref Frame::format_word_size(PyObject* word_size, Where where)
{
    Ref formatted = check(PyObject_Format(word_size, k.empty.get()), where);
    return check(PyUnicode_Concat(formatted.get(), k.bit.get()), where);
}

Ref Frame::lower(Obj obj, Where where)
{
    where_ = where;
    PyObject* self = obj.get();
    // Exact str cannot override lower: call str.lower itself, past the lookup.
    if (PyUnicode_CheckExact(self)) {
        PyObject* descriptor = k.str_lower.get();
        return check(PyVectorcall_Function(descriptor)(descriptor, &self, 1, nullptr), where);
    }
    return call_method(obj, k.lower, {}, where);
}

Ref Frame::str(Obj obj, Where where)
{
    where_ = where;
    return check(PyObject_Str(obj.get()), where);
}

Ref Frame::import(const ImportRequest& request, ImportCache& cache, Where where)
{
    where_ = where;
    return run_import(request, k.loaded_modules.get(), namespace_dict_, cache, where);
}

void Frame::raise(PyObject* exception_type, Obj message, Where where)
{
    where_ = where;
    PyErr_SetObject(exception_type, message.get());
    throw PythonError(where);
}

}  // namespace veka
