// Calls into the interpreter, and the end of a thread that the interpreter
// ends inside one. Included by owned_ref.hpp: dropping a reference is such a
// call too, since it may run a finalizer.
#pragma once

#include <Python.h>

namespace veka {

// Whether the interpreter may end a thread in the middle of a call into it:
// 3.11 to 3.13 end a thread that wants the GIL back while the interpreter
// finalizes by pthread_exit, which glibc carries out as a forced unwind of
// the thread's stack; 3.14 leaves such a thread waiting instead. Delete with
// 3.13.
#if PY_VERSION_HEX < 0x030E0000 && defined(__GLIBC__)
inline constexpr bool threads_end_by_unwinding = true;
#else
inline constexpr bool threads_end_by_unwinding = false;
#endif

// Waits until the process ends: the end of a thread that the interpreter
// ended inside a call into it (into_python).
[[noreturn]] void wait_for_the_process_to_end() noexcept;

// function(args...), a call into the interpreter that may run Python code or
// let the GIL go, and its answer as it is. Where the interpreter ends a
// thread that wants the GIL back by unwinding its stack
// (threads_end_by_unwinding), the unwind stops here: unwound further, the
// module's frames would drop their references without the GIL while the
// finalizing thread frees the same objects. The thread then waits for the
// process to end, holding what it holds, as 3.14 leaves such a thread. Only
// an unwind can leave a call of the C API: the C API throws nothing.
template <class Function, class... Args>
inline auto into_python(Function function, Args... args) -> decltype(function(args...))
{
    if constexpr (threads_end_by_unwinding) {
        try {
            return function(args...);
        } catch (...) {
            wait_for_the_process_to_end();
        }
    } else {
        return function(args...);
    }
}

}  // namespace veka
