#include "body_call.hpp"

#include "function_object.hpp"
#include "interpreter_access.hpp"

namespace veka {
namespace {

using ArgumentStack = PointerArray<5>;

// callable(*args). The module's own functions are called straight through
// their entry, which makes every check the generic call would make again.
PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t count)
{
    if (PyVectorcall_Function(callable) == call_native_function) {
        return call_native_function(callable, args, count, nullptr);
    }
    return PyObject_Vectorcall(callable, args, count, nullptr);
}

Ref vectorcall(PyObject* callable, const ArgumentStack& stack)
{
    const std::span<PyObject* const> items = stack.items();
    return check(call_vector(callable, items.data(), items.size()));
}

}  // namespace

Ref BodyCall::call(Operand callable, std::initializer_list<Operand> args, Where where)
{
    at(where);
    ArgumentStack stack(args.size());
    for (const Operand& arg : args) stack.push(arg.get());
    return vectorcall(callable.get(), stack);
}

Ref BodyCall::call_with_tuple(Operand callable, const Ref& args_tuple, Where where)
{
    at(where);
    // The items go to the callee as they are: no new tuple per call.
    const std::span<PyObject* const> items = tuple_items(args_tuple.get());
    return check(call_vector(callable.get(), items.data(), items.size()));
}

Ref BodyCall::call_prepended(Operand callable, Operand first, std::span<PyObject* const> rest,
                             Where where)
{
    at(where);
    ArgumentStack stack(rest.size() + 1);
    stack.push(first.get());
    for (PyObject* item : rest) stack.push(item);
    return vectorcall(callable.get(), stack);
}

Ref BodyCall::call_method(Operand obj, const CachedName& name, std::initializer_list<Operand> args,
                          Where where)
{
    at(where);
    if (Ref function = module_attribute(obj.get(), name)) {
        ArgumentStack stack(args.size());
        for (const Operand& arg : args) stack.push(arg.get());
        return vectorcall(function.get(), stack);
    }
    return call_method(std::move(obj), name.text, args, where);
}

Ref BodyCall::call_method(Operand obj, const Ref& name, std::initializer_list<Operand> args,
                          Where where)
{
    at(where);
    ArgumentStack stack(args.size() + 1);
    stack.push(obj.get());
    for (const Operand& arg : args) stack.push(arg.get());
    const std::span<PyObject* const> items = stack.items();
    return check(PyObject_VectorcallMethod(name.get(), items.data(), items.size(), nullptr));
}

bool BodyCall::truth(Operand obj, Where where)
{
    at(where);
    return check_status(PyObject_IsTrue(obj.get())) != 0;
}

bool BodyCall::equals(Operand left, Operand right, Where where)
{
    at(where);
    // Two exact str, which is what every host compares (the OS and machine
    // names): str.__eq__ cannot be replaced, and compares the texts.
    if (PyUnicode_CheckExact(left.get()) && PyUnicode_CheckExact(right.get())) {
        return check_status(text_equal(left.get(), right.get())) != 0;
    }
    // Python's ==, then the truth of its answer: no shortcut for identity.
    Ref answer = check(PyObject_RichCompare(left.get(), right.get(), Py_EQ));
    return check_status(PyObject_IsTrue(answer.get())) != 0;
}

bool BodyCall::greater(Operand left, Operand right, Where where)
{
    at(where);
    Ref answer = check(PyObject_RichCompare(left.get(), right.get(), Py_GT));
    return check_status(PyObject_IsTrue(answer.get())) != 0;
}

Ref BodyCall::lower(Operand obj, Where where)
{
    at(where);
    // Exact str, what platform reports on every host: str.lower cannot be
    // replaced, so it is called as it is, past the method lookup.
    if (PyUnicode_CheckExact(obj.get())) {
        PyObject* self = obj.get();
        return check(PyObject_Vectorcall(k.str_lower.get(), &self, 1, nullptr));
    }
    return call_method(std::move(obj), k.lower, {}, where);
}

bool BodyCall::startswith(Operand obj, Operand prefix, Where where)
{
    Ref answer = call_method(std::move(obj), k.startswith, {std::move(prefix)}, where);
    return check_status(PyObject_IsTrue(answer.get())) != 0;
}

Ref BodyCall::word_size_directory(Operand word_size, Where where)
{
    at(where);
    // The tokens _bits answers are the module's own constants, and so are
    // their directories; any other token is formatted afresh.
    if (word_size.get() == k.sixty_four.get()) return k.sixty_four_bit.share();
    if (word_size.get() == k.thirty_two.get()) return k.thirty_two_bit.share();
    Ref formatted = check(PyObject_Format(word_size.get(), k.empty.get()));
    return check(PyUnicode_Concat(formatted.get(), k.bit.get()));
}

Ref BodyCall::str(Operand obj, Where where)
{
    at(where);
    return check(PyObject_Str(obj.get()));
}

Ref BodyCall::import_name(const ImportRequest& request, const CachedName& full_name,
                          const CachedName& name, Where where)
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

void BodyCall::raise(PyObject* exception_type, const Ref& message, Where where)
{
    at(where);
    PyErr_SetObject(exception_type, message.get());
    throw PythonError(where);
}

}  // namespace veka
