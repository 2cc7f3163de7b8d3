// How this module reports failure: one convention for all of its C++.
//
// A step that fails leaves the interpreter's exception set and throws
// PythonError, which carries the source line of the step. Every result of
// the C API is checked the moment it arrives (check, check_status,
// check_lookup), so no further call is ever made with an exception pending.
//
// C++ exceptions stop at the entry points the interpreter calls: the
// functions' trampoline and the create and exec steps. Each catches
// everything and hands it to translate_current_exception(), the one place
// where a C++ exception becomes a Python one, and the one place that lets a
// forced unwind through (see there). So no function on a path that calls
// into Python is noexcept.
#pragma once

#include "interpreter_access.hpp"
#include "into_python.hpp"
#include "owned_ref.hpp"

#include <cassert>
#include <exception>
#include <version>
#if __has_include(<source_location>)
#include <source_location>
#endif

// Attributes the compilers spell differently; without them the code is the same.
#if defined(__GNUC__) || defined(__clang__)
#define VEKA_COLD [[gnu::cold]]
#define VEKA_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define VEKA_COLD
#define VEKA_NOINLINE __declspec(noinline)
#else
#define VEKA_COLD
#define VEKA_NOINLINE
#endif

namespace veka {

// Where in this module's source a step stands: the line of its traceback
// entry. The standard library's source_location where it exists (one pointer
// to static data); otherwise the builtins g++, clang++ and MSVC share (clang++
// 14 paired with libstdc++ lacks the former). A compiler with neither gives
// entries without a line.
#if defined(__cpp_lib_source_location)
class SourceLine {
public:
    static constexpr SourceLine here(std::source_location at = std::source_location::current())
    {
        return SourceLine(at);
    }
    constexpr SourceLine() = default;
    [[nodiscard]] const char* file() const { return at_.file_name(); }
    [[nodiscard]] int line() const { return static_cast<int>(at_.line()); }

private:
    constexpr explicit SourceLine(std::source_location at) : at_(at) {}
    std::source_location at_;
};
#else
class SourceLine {
public:
#if defined(__has_builtin)
#if __has_builtin(__builtin_FILE) && __has_builtin(__builtin_LINE)
#define VEKA_HAS_SOURCE_BUILTINS 1
#endif
#endif
#if defined(VEKA_HAS_SOURCE_BUILTINS)
    static constexpr SourceLine here(const char* file = __builtin_FILE(),
                                     int line = __builtin_LINE())
    {
        return SourceLine(file, line);
    }
#else
    static constexpr SourceLine here() { return {}; }
#endif
    constexpr SourceLine() = default;
    [[nodiscard]] const char* file() const { return file_; }
    [[nodiscard]] int line() const { return line_; }

private:
    constexpr SourceLine(const char* file, int line) : file_(file), line_(line) {}
    const char* file_ = "veka_call";
    int line_ = 0;
};
#endif

// Thrown only once the interpreter's exception is set.
struct PythonError : std::exception {
    explicit PythonError(SourceLine at) : where(at) { assert(PyErr_Occurred()); }
    [[nodiscard]] const char* what() const noexcept override
    {
        return "pyveka.veka_call: a Python exception is set";
    }
    SourceLine where;
};

// A new reference from the C API: owned from here on, or PythonError.
inline Ref check(PyObject* result, SourceLine where = SourceLine::here())
{
    if (!result) throw PythonError(where);
    return Ref::steal(result);
}

// A status from the C API: negative means failed.
inline int check_status(int status, SourceLine where = SourceLine::here())
{
    if (status < 0) throw PythonError(where);
    return status;
}

// A borrowed answer of a lookup that says "absent" and "failed" both with
// null: owned from here on, empty when absent, or PythonError.
inline Ref check_lookup(PyObject* borrowed, SourceLine where = SourceLine::here())
{
    if (!borrowed && PyErr_Occurred()) throw PythonError(where);
    return Ref::borrow(borrowed);
}

// Inside a catch handler: sets the Python exception that stands for the C++
// exception being handled (a PythonError has set its own already). A forced
// unwind is rethrown: glibc ends a thread with one (pthread_exit), as CPython
// 3.11 to 3.13 do to a thread that wants the GIL back while the interpreter
// finalizes, and it must pass through to its end, since stopping it
// terminates the process.
void translate_current_exception();

// Takes the pending exception (or its absence) aside for as long as it
// lives, and puts it back at its end, over whatever is pending then: the
// exception that a cleanup or a decoration was for is the one that stays.
class PendingExceptionKept {
public:
    PendingExceptionKept() : kept_(Ref::steal(PyErr_GetRaisedException())) {}
    ~PendingExceptionKept()
    {
        if (!keep_) return;
        PyErr_Clear();
        restore_copy();
    }
    PendingExceptionKept(const PendingExceptionKept&) = delete;
    PendingExceptionKept& operator=(const PendingExceptionKept&) = delete;

    // Makes a copy of the kept exception pending now (none when none was kept).
    void restore_copy() const noexcept { PyErr_SetRaisedException(Py_XNewRef(kept_.get())); }
    // What is pending now stays; the kept exception is dropped.
    void keep_pending() noexcept { keep_ = false; }

private:
    Ref kept_;
    bool keep_ = true;
};

// Adds a traceback entry named `entry_name` at `where` to the pending
// exception; the entry's frame has `globals` as its globals. The pending
// exception is kept unchanged even when the entry cannot be made.
VEKA_COLD void add_traceback_entry(const char* entry_name, const SourceLine& where,
                                   PyObject* globals);

}  // namespace veka
