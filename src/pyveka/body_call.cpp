#include "body_call.hpp"

#include "interpreter_access.hpp"

#include <array>
#include <vector>

namespace veka {
namespace {

// A call's arguments laid out as the vectorcall protocol takes them: in place
// for the few the bodies pass, on the heap for a caller's many.
class ArgumentStack {
public:
    explicit ArgumentStack(size_t capacity)
    {
        if (capacity > small_.size()) {
            large_.resize(capacity);
            items_ = large_.data();
        }
    }
    ArgumentStack(const ArgumentStack&) = delete;
    ArgumentStack& operator=(const ArgumentStack&) = delete;

    void push(PyObject* item) { items_[size_++] = item; }
    [[nodiscard]] PyObject* const* items() const { return items_; }
    [[nodiscard]] size_t size() const { return size_; }

private:
    std::array<PyObject*, 5> small_{};
    std::vector<PyObject*> large_;
    PyObject** items_ = small_.data();
    size_t size_ = 0;
};

Ref vectorcall(PyObject* callable, const ArgumentStack& stack)
{
    return check(PyObject_Vectorcall(callable, stack.items(), stack.size(), nullptr));
}

}  // namespace

Ref BodyCall::global(const Ref& name, Where where)
{
    at(where);
    return resolve_global(k, globals_, name.get());
}

Ref BodyCall::attr(Operand obj, const Ref& name, Where where)
{
    at(where);
    return check(PyObject_GetAttr(obj.get(), name.get()));
}

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
    return check(PyObject_Vectorcall(callable.get(), items.data(), items.size(), nullptr));
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

Ref BodyCall::call_method(Operand obj, const Ref& name, std::initializer_list<Operand> args,
                          Where where)
{
    at(where);
    ArgumentStack stack(args.size() + 1);
    stack.push(obj.get());
    for (const Operand& arg : args) stack.push(arg.get());
    return check(PyObject_VectorcallMethod(name.get(), stack.items(), stack.size(), nullptr));
}

bool BodyCall::truth(Operand obj, Where where)
{
    at(where);
    return check_status(PyObject_IsTrue(obj.get())) != 0;
}

bool BodyCall::equals(Operand left, Operand right, Where where)
{
    at(where);
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

Ref BodyCall::import(const ImportRequest& request, Where where)
{
    at(where);
    return run_import(request, k.loaded_modules.get(), globals_);
}

void BodyCall::raise(PyObject* exception_type, const Ref& message, Where where)
{
    at(where);
    PyErr_SetObject(exception_type, message.get());
    throw PythonError(where);
}

}  // namespace veka
