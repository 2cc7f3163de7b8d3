// One call of one of the nine function bodies, and the interpreter
// operations the bodies are written in.
//
// A body is a C++ function that reads like the Python function it stands for,
// one operation per line. Each operation records its source line (the line of
// the traceback entry, should it fail) and then answers its value or throws
// PythonError with the interpreter's exception set (errors.hpp).
//
// What a BodyCall reads is owned for the whole call, as a Python frame owns
// it: the trampoline holds the function, its shared state (the constants)
// and its globals, and every positional argument (function_call.cpp).
// Every call into the interpreter that may run Python code goes through
// into_python (errors.hpp).
#pragma once

#include "errors.hpp"
#include "function_call.hpp"
#include "interpreter_access.hpp"
#include "name_resolution.hpp"
#include "shared_state.hpp"

#include <cassert>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>

namespace veka {

// Object pointers laid out as the vectorcall protocol takes them, for a
// caller's arguments: in place for a few, on the heap for many. Owns no
// reference.
template <size_t InPlace>
class PointerArray {
public:
    explicit PointerArray(size_t capacity)
        : items_(capacity <= InPlace ? in_place_
                                     : (heap_ = std::make_unique<PyObject*[]>(capacity)).get())
    {
    }
    PointerArray(const PointerArray&) = delete;
    PointerArray& operator=(const PointerArray&) = delete;

    void push(PyObject* item) { items_[size_++] = item; }
    [[nodiscard]] std::span<PyObject* const> items() const { return {items_, size_}; }

private:
    PyObject* in_place_[InPlace];  // NOLINT: only the items pushed are read
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** items_;
    size_t size_ = 0;
};

// An operation's input: a body's local or a constant, borrowed, since it
// outlives the operation; or a temporary of the Python code, handed over with
// std::move and released at the end of the statement that uses it, where
// Python releases its temporaries.
class Operand {
public:
    Operand(const Ref& lasting) noexcept : object_(lasting.get()) {}  // NOLINT: implicit by design
    Operand(Ref&& temporary) noexcept                                 // NOLINT: implicit by design
        : owned_(std::move(temporary)), object_(owned_.get())
    {
    }
    Operand(Operand&& other) noexcept : owned_(std::move(other.owned_)), object_(other.object_) {}
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;
    Operand& operator=(Operand&&) = delete;
    [[nodiscard]] PyObject* get() const noexcept { return object_; }

private:
    Ref owned_;
    PyObject* object_;
};

class BodyCall {
public:
    BodyCall(const Constants& constants, DictWatch& watch, PyObject* globals,
             std::span<PyObject* const> args)
        : k(constants), watch_(watch), globals_(globals), args_(args)
    {
    }

    const Constants& k;

    // The positional arguments of the call (only `_resolve_path` has any).
    [[nodiscard]] std::span<PyObject* const> args() const { return args_; }
    // The line of the operation that ran last.
    [[nodiscard]] const SourceLine& line() const { return line_; }

    // `name` (module namespace, then builtins)
    Ref global(const CachedName& name, SourceLine where = SourceLine::here());
    // `obj.name`
    Ref attr(Operand obj, const CachedName& name, SourceLine where = SourceLine::here());
    // `callable(*args)`
    Ref call(Operand callable, std::initializer_list<Operand> args = {},
             SourceLine where = SourceLine::here());
    // `callable(*args)` for an arguments tuple made once
    Ref call_with_tuple(Operand callable, const Ref& args_tuple,
                        SourceLine where = SourceLine::here());
    // `callable(first, *rest)`
    Ref call_prepended(Operand callable, Operand first, std::span<PyObject* const> rest,
                       SourceLine where = SourceLine::here());
    // `obj.name(*args)`, for an `obj` that is usually a module
    Ref call_method(Operand obj, const CachedName& name, std::initializer_list<Operand> args = {},
                    SourceLine where = SourceLine::here());
    // `obj.name(*args)`
    Ref call_method(Operand obj, const Ref& name, std::initializer_list<Operand> args = {},
                    SourceLine where = SourceLine::here());
    // `bool(obj)`
    bool truth(Operand obj, SourceLine where = SourceLine::here());
    // `bool(left == right)`
    bool equals(Operand left, Operand right, SourceLine where = SourceLine::here());
    // `bool(left > right)`
    bool greater(Operand left, Operand right, SourceLine where = SourceLine::here());
    // `bool(obj.startswith(prefix))`
    bool startswith(Operand obj, Operand prefix, SourceLine where = SourceLine::here());
    // `f"{word_size}bit"`
    Ref word_size_directory(Operand word_size, SourceLine where = SourceLine::here());
    // `obj.lower()`
    Ref lower(Operand obj, SourceLine where = SourceLine::here());
    // `str(obj)`
    Ref str(Operand obj, SourceLine where = SourceLine::here());
    // `from .<module> import <name>`, as every import of the module runs
    Ref import_name(const ImportRequest& request, const CachedName& full_name,
                    const CachedName& name, SourceLine where = SourceLine::here());
    // `raise exception_type(message)`
    [[noreturn]] void raise(PyObject* exception_type, const Ref& message,
                            SourceLine where = SourceLine::here());

private:
    void at(SourceLine where) { line_ = where; }
    // What an exact module's dict answers for `name` (an empty Ref when it
    // does not hold it, or when `obj` is not an exact module).
    Ref module_attribute(PyObject* obj, const CachedName& name);

    DictWatch& watch_;
    PyObject* globals_;
    std::span<PyObject* const> args_;
    SourceLine line_;
};

// An exact module's type is the interpreter's own, which cannot change and
// defines none of the names the bodies read (only dunder names): what the
// module's dict holds under such a name is the attribute, unbound, and only a
// name the dict lacks needs the full attribute protocol (a module's
// __getattr__, the AttributeError). A module cleared by the garbage collector
// has no dict left, and takes the full protocol too.
inline Ref BodyCall::module_attribute(PyObject* obj, const CachedName& name)
{
    if (!PyModule_CheckExact(obj)) return {};
    PyObject* dict = exact_module_dict(obj);
    if (!dict) return {};
    return settled(k, dict, name.text.get(), watch_.lookup(dict, name));
}

inline Ref BodyCall::global(const CachedName& name, SourceLine where)
{
    at(where);
    Ref value = settled(k, globals_, name.text.get(), watch_.lookup(globals_, name));
    if (value) return value;
    return global_from_builtins(k, name.text.get());
}

inline Ref BodyCall::attr(Operand obj, const CachedName& name, SourceLine where)
{
    at(where);
    Ref value = module_attribute(obj.get(), name);
    if (value) return value;
    return check(into_python(PyObject_GetAttr, obj.get(), name.text.get()));
}

// ---- The operations on the bodies' usual paths, inline: a call of an
// operation costs nothing, and each body's frame is laid out as one.

// The most arguments a body passes in one call, with the object a method is
// called on.
inline constexpr std::size_t most_body_arguments = 5;

// callable(*args). The module's own functions are called straight through
// their entry, which makes every check the generic call would make again.
inline Ref call_vector(PyObject* callable, PyObject* const* args, size_t count)
{
    if (PyVectorcall_Function(callable) == call_native_function) {
        return check(into_python(call_from_a_body, callable, args, count));
    }
    return check(into_python(PyObject_Vectorcall, callable, args, count, nullptr));
}

// The objects of `args`, after `first` when there is one, in `stack`; their count.
inline size_t lay_out(PyObject** stack, PyObject* first, std::initializer_list<Operand> args)
{
    assert(args.size() + (first ? 1 : 0) <= most_body_arguments);
    size_t count = 0;
    if (first) stack[count++] = first;
    for (const Operand& arg : args) stack[count++] = arg.get();
    return count;
}

inline Ref BodyCall::call(Operand callable, std::initializer_list<Operand> args, SourceLine where)
{
    at(where);
    PyObject* stack[most_body_arguments];  // NOLINT: only the laid-out items are read
    const size_t count = lay_out(stack, nullptr, args);
    return call_vector(callable.get(), stack, count);
}

inline Ref BodyCall::call_with_tuple(Operand callable, const Ref& args_tuple, SourceLine where)
{
    at(where);
    // The items go to the callee as they are: no new tuple per call.
    const std::span<PyObject* const> items = tuple_items(args_tuple.get());
    return call_vector(callable.get(), items.data(), items.size());
}

inline Ref BodyCall::call_method(Operand obj, const CachedName& name,
                                 std::initializer_list<Operand> args, SourceLine where)
{
    at(where);
    if (Ref function = module_attribute(obj.get(), name)) {
        PyObject* stack[most_body_arguments];  // NOLINT: only the laid-out items are read
        const size_t count = lay_out(stack, nullptr, args);
        return call_vector(function.get(), stack, count);
    }
    return call_method(std::move(obj), name.text, args, where);
}

inline Ref BodyCall::call_method(Operand obj, const Ref& name, std::initializer_list<Operand> args,
                                 SourceLine where)
{
    at(where);
    PyObject* stack[most_body_arguments];  // NOLINT: only the laid-out items are read
    const size_t count = lay_out(stack, obj.get(), args);
    return check(into_python(PyObject_VectorcallMethod, name.get(), stack, count, nullptr));
}

inline bool BodyCall::truth(Operand obj, SourceLine where)
{
    at(where);
    return check_status(into_python(PyObject_IsTrue, obj.get())) != 0;
}

inline bool BodyCall::equals(Operand left, Operand right, SourceLine where)
{
    at(where);
    // Two exact str, which is what every host compares (the OS and machine
    // names): str.__eq__ cannot be replaced, and compares the texts.
    if (PyUnicode_CheckExact(left.get()) && PyUnicode_CheckExact(right.get())) {
        return check_status(PyUnicode_Equal(left.get(), right.get())) != 0;
    }
    // Python's ==, then the truth of its answer: no shortcut for identity.
    Ref answer = check(into_python(PyObject_RichCompare, left.get(), right.get(), Py_EQ));
    return check_status(into_python(PyObject_IsTrue, answer.get())) != 0;
}

inline Ref BodyCall::lower(Operand obj, SourceLine where)
{
    at(where);
    // Exact str, what platform reports on every host: str.lower cannot be
    // replaced, and runs no Python code, so it is called as it is, past the
    // method lookup.
    if (PyUnicode_CheckExact(obj.get())) {
        PyObject* self = obj.get();
        return check(PyObject_Vectorcall(k.str_lower.get(), &self, 1, nullptr));
    }
    return call_method(std::move(obj), k.lower, {}, where);
}

}  // namespace veka
