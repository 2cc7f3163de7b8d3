// The interpreter operations the function bodies are written in.
//
// A body is a C++ function that reads like the Python function it stands for,
// one operation per line. Each operation answers its value or throws
// PythonError with the interpreter's exception set (errors.hpp); it also
// records its source line, which the function's traceback entry names.
//
// The operations on a body's usual path are inline: the compilers then lay
// out each body's frame as one, which also keeps it small. The rarer ones
// (comparisons of other objects, formatting, the import, raising) stay out
// of line.
#pragma once

#include "name_resolution.hpp"

#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>

namespace veka {

using Where = SourceLine;

class Frame {
public:
    Frame(const Constants& constants, PyObject* namespace_dict, std::span<PyObject* const> args)
        : k(constants), namespace_dict_(namespace_dict), args_(args)
    {
    }

    const Constants& k;

    // The positional arguments of the call (only `_resolve_path` has any).
    [[nodiscard]] std::span<PyObject* const> args() const { return args_; }
    // The line of the operation that ran last.
    [[nodiscard]] const Where& where() const { return where_; }

    // `name` (module namespace, then builtins).
    Ref global(GlobalUse& use, Where where = Where::here());
    // `obj.name`
    Ref attr(Obj obj, AttributeUse& use, Where where = Where::here());
    // `callable(*args)`
    Ref call(Obj callable, std::initializer_list<PyObject*> args = {}, Where where = Where::here());
    // `callable(*args)` for an arguments tuple made once.
    Ref call_with_tuple(Obj callable, Obj args_tuple, Where where = Where::here());
    // `callable(first, *rest)`
    VEKA_NOINLINE Ref call_prepended(Obj callable, Obj first, std::span<PyObject* const> rest,
                                     Where where = Where::here());
    // `obj.name(*args)`
    Ref call_method(Obj obj, Obj name, std::initializer_list<PyObject*> args = {},
                    Where where = Where::here());
    // `module.name(*args)`, the name looked up as by attr
    Ref call_method(Obj obj, AttributeUse& use, std::initializer_list<PyObject*> args = {},
                    Where where = Where::here());
    // `bool(obj)`
    bool truth(Obj obj, Where where = Where::here());
    // `bool(left == right)`
    bool equals(Obj left, Obj right, Where where = Where::here());
    // `bool(left > right)`
    bool greater(Obj left, Obj right, Where where = Where::here());
    // `obj.startswith(prefix)` taken as a truth value.
    VEKA_NOINLINE bool startswith(Obj obj, Obj prefix, Where where = Where::here());
    // `f"{word_size}bit"`
    Ref word_size_directory(Obj word_size, Where where = Where::here());
    // `obj.lower()`
    VEKA_NOINLINE Ref lower(Obj obj, Where where = Where::here());
    // `str(obj)`
    VEKA_NOINLINE Ref str(Obj obj, Where where = Where::here());
    // `from .<module> import <name>`, as every import of the module runs.
    VEKA_NOINLINE Ref import(const ImportRequest& request, ImportCache& cache,
                             Where where = Where::here());
    // `raise exception_type(message)`
    [[noreturn]] VEKA_NOINLINE void raise(PyObject* exception_type, Obj message,
                                          Where where = Where::here());

    // The same operations on temporaries of the Python code, passed with
    // std::move: each is released as soon as the operation that uses it
    // returns, where Python releases it. Python's locals are passed as they
    // are and live until the body returns.
    Ref attr(Ref&& obj, AttributeUse& use, Where where = Where::here())
    {
        const Ref held = std::move(obj);
        return attr(Obj(held), use, where);
    }
    Ref call(Ref&& callable, std::initializer_list<PyObject*> args = {},
             Where where = Where::here())
    {
        const Ref held = std::move(callable);
        return call(Obj(held), args, where);
    }
    Ref call(Ref&& callable, Ref&& argument, Where where = Where::here())
    {
        const Ref held = std::move(callable);
        const Ref held_argument = std::move(argument);
        return call(Obj(held), {held_argument.get()}, where);
    }
    Ref call_with_tuple(Ref&& callable, Obj args_tuple, Where where = Where::here())
    {
        const Ref held = std::move(callable);
        return call_with_tuple(Obj(held), args_tuple, where);
    }
    Ref call_prepended(Ref&& callable, Ref&& first, std::span<PyObject* const> rest,
                       Where where = Where::here())
    {
        const Ref held = std::move(callable);
        const Ref held_first = std::move(first);
        return call_prepended(Obj(held), Obj(held_first), rest, where);
    }
    Ref call_method(Ref&& obj, AttributeUse& use, std::initializer_list<PyObject*> args = {},
                    Where where = Where::here())
    {
        const Ref held = std::move(obj);
        return call_method(Obj(held), use, args, where);
    }
    Ref call_method(Ref&& obj, Obj name, std::initializer_list<PyObject*> args = {},
                    Where where = Where::here())
    {
        const Ref held = std::move(obj);
        return call_method(Obj(held), name, args, where);
    }
    Ref lower(Ref&& obj, Where where = Where::here())
    {
        const Ref held = std::move(obj);
        return lower(Obj(held), where);
    }
    bool truth(Ref&& obj, Where where = Where::here())
    {
        const Ref held = std::move(obj);
        return truth(Obj(held), where);
    }
    bool greater(Ref&& left, Obj right, Where where = Where::here())
    {
        const Ref held = std::move(left);
        return greater(Obj(held), right, where);
    }

private:
    PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs);
    VEKA_NOINLINE bool compare(PyObject* left, PyObject* right, int op, Where where);
    VEKA_NOINLINE Ref format_word_size(PyObject* word_size, Where where);

    PyObject* namespace_dict_;
    std::span<PyObject* const> args_;
    Where where_;
};

inline Ref Frame::global(GlobalUse& use, Where where)
{
    where_ = where;
    return resolve_global(use, k, namespace_dict_, where);
}

inline Ref Frame::attr(Obj obj, AttributeUse& use, Where where)
{
    where_ = where;
    return read_attribute(obj.get(), (k.*use.name).get(), use, where);
}

inline bool Frame::greater(Obj left, Obj right, Where where)
{
    where_ = where;
    PyObject* a = left.get();
    PyObject* b = right.get();
    // Exact ints compare by value, which is all int.__gt__ does; their digit
    // counts decide unless they are equal.
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        const Py_ssize_t a_digits = signed_digit_count(a);
        const Py_ssize_t b_digits = signed_digit_count(b);
        if (a_digits != b_digits) return a_digits > b_digits;
    }
    return compare(a, b, Py_GT, where);
}

// Two ready exact str are equal when their texts are: the same length and,
// in their canonical form, the same kind and code units (what str.__eq__
// does). 3.11 still allows legacy strings that are not ready yet; those go
// through the interpreter's comparison.
inline bool same_text(PyObject* a, PyObject* b)
{
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    const auto bytes = static_cast<size_t>(length) * PyUnicode_KIND(a);
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), bytes) == 0;
}

inline bool Frame::equals(Obj left, Obj right, Where where)
{
    where_ = where;
    PyObject* a = left.get();
    PyObject* b = right.get();
    // str.__eq__ cannot be overridden on exact str: compare the texts.
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_IS_READY(a) &&
        PyUnicode_IS_READY(b)) {
        return same_text(a, b);
    }
    return compare(a, b, Py_EQ, where);
}

inline Ref Frame::word_size_directory(Obj word_size, Where where)
{
    where_ = where;
    // The tokens _bits answers are the module's own constants: their
    // directories are made once. Any other token is formatted afresh.
    if (word_size.get() == k.sixty_four.get()) return k.sixty_four_bit.share();
    if (word_size.get() == k.thirty_two.get()) return k.thirty_two_bit.share();
    return format_word_size(word_size.get(), where);
}

inline bool Frame::truth(Obj obj, Where where)
{
    where_ = where;
    PyObject* value = obj.get();
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    return check_status(PyObject_IsTrue(value), where) != 0;
}

// The nine bodies, in the order of the module's function table.
Ref bits_body(Frame& f);
Ref system_body(Frame& f);
Ref machine_body(Frame& f);
Ref package_root_body(Frame& f);
Ref resolve_path_body(Frame& f);
Ref solver_lookup_body(Frame& f);
Ref configured_call_body(Frame& f);
Ref mesher_lookup_body(Frame& f);
Ref remote_script_body(Frame& f);

}  // namespace veka
