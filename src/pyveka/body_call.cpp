#include "body_call.hpp"

#include "interpreter_access.hpp"

namespace veka {

Ref BodyCall::call_prepended(Operand callable, Operand first, std::span<PyObject* const> rest,
                             SourceLine where)
{
    at(where);
    PointerArray<8> stack(rest.size() + 1);
    stack.push(first.get());
    for (PyObject* item : rest) stack.push(item);
    const std::span<PyObject* const> items = stack.items();
    return call_vector(callable.get(), items.data(), items.size());
}

bool BodyCall::greater(Operand left, Operand right, SourceLine where)
{
    at(where);
    Ref answer = check(into_python(PyObject_RichCompare, left.get(), right.get(), Py_GT));
    return check_status(into_python(PyObject_IsTrue, answer.get())) != 0;
}

bool BodyCall::startswith(Operand obj, Operand prefix, SourceLine where)
{
    Ref answer = call_method(std::move(obj), k.startswith, {std::move(prefix)}, where);
    return check_status(into_python(PyObject_IsTrue, answer.get())) != 0;
}

Ref BodyCall::word_size_directory(Operand word_size, SourceLine where)
{
    at(where);
    // The tokens _bits answers are the module's own constants, and so are
    // their directories; any other token is formatted afresh.
    if (word_size.get() == k.sixty_four.get()) return k.sixty_four_bit.share();
    if (word_size.get() == k.thirty_two.get()) return k.thirty_two_bit.share();
    Ref formatted = check(into_python(PyObject_Format, word_size.get(), k.empty.get()));
    return check(PyUnicode_Concat(formatted.get(), k.bit.get()));
}

Ref BodyCall::str(Operand obj, SourceLine where)
{
    at(where);
    return check(into_python(PyObject_Str, obj.get()));
}

Ref BodyCall::import_name(const ImportRequest& request, const CachedName& full_name,
                          const CachedName& name, SourceLine where)
{
    at(where);
    // A module in sys.modules that holds the name answers at once; anything
    // else takes the import's every step.
    const Ref loaded = watch_.lookup(k.loaded_modules.get(), full_name);
    if (loaded) {
        if (Ref value = module_attribute(loaded.get(), name)) return value;
    }
    return run_import(request, k.loaded_modules.get(), globals_);
}

void BodyCall::raise(PyObject* exception_type, const Ref& message, SourceLine where)
{
    at(where);
    PyErr_SetObject(exception_type, message.get());
    throw PythonError(where);
}

}  // namespace veka
