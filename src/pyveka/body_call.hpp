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
// and its globals, and every positional argument (native_function.cpp).
#pragma once

#include "errors.hpp"
#include "name_resolution.hpp"
#include "shared_state.hpp"

#include <initializer_list>
#include <span>
#include <utility>

namespace veka {

using Where = SourceLine;

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
    BodyCall(const Constants& constants, PyObject* globals, std::span<PyObject* const> args)
        : k(constants), globals_(globals), args_(args)
    {
    }

    const Constants& k;

    // The positional arguments of the call (only `_resolve_path` has any).
    [[nodiscard]] std::span<PyObject* const> args() const { return args_; }
    // The line of the operation that ran last.
    [[nodiscard]] const Where& line() const { return line_; }

    // `name` (module namespace, then builtins)
    Ref global(const Ref& name, Where where = Where::here());
    // `obj.name`
    Ref attr(Operand obj, const Ref& name, Where where = Where::here());
    // `callable(*args)`
    Ref call(Operand callable, std::initializer_list<Operand> args = {},
             Where where = Where::here());
    // `callable(*args)` for an arguments tuple made once
    Ref call_with_tuple(Operand callable, const Ref& args_tuple, Where where = Where::here());
    // `callable(first, *rest)`
    Ref call_prepended(Operand callable, Operand first, std::span<PyObject* const> rest,
                       Where where = Where::here());
    // `obj.name(*args)`
    Ref call_method(Operand obj, const Ref& name, std::initializer_list<Operand> args = {},
                    Where where = Where::here());
    // `bool(obj)`
    bool truth(Operand obj, Where where = Where::here());
    // `bool(left == right)`
    bool equals(Operand left, Operand right, Where where = Where::here());
    // `bool(left > right)`
    bool greater(Operand left, Operand right, Where where = Where::here());
    // `bool(obj.startswith(prefix))`
    bool startswith(Operand obj, Operand prefix, Where where = Where::here());
    // `f"{word_size}bit"`
    Ref word_size_directory(Operand word_size, Where where = Where::here());
    // `str(obj)`
    Ref str(Operand obj, Where where = Where::here());
    // `from .<module> import <name>`, as every import of the module runs
    Ref import(const ImportRequest& request, Where where = Where::here());
    // `raise exception_type(message)`
    [[noreturn]] void raise(PyObject* exception_type, const Ref& message,
                            Where where = Where::here());

private:
    void at(Where where) { line_ = where; }

    PyObject* globals_;
    std::span<PyObject* const> args_;
    Where line_;
};

// The nine bodies, in the order of the module's function table.
Ref bits_body(BodyCall& f);
Ref system_body(BodyCall& f);
Ref machine_body(BodyCall& f);
Ref package_root_body(BodyCall& f);
Ref resolve_path_body(BodyCall& f);
Ref solver_lookup_body(BodyCall& f);
Ref configured_call_body(BodyCall& f);
Ref mesher_lookup_body(BodyCall& f);
Ref remote_script_body(BodyCall& f);

}  // namespace veka
