#include "errors.hpp"

#include <frameobject.h>  // PyFrame_New

#include <chrono>
#include <exception>
#include <new>
#include <thread>
#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#endif

namespace veka {
namespace {

const char* base_name(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at; ++at) {
        if (*at == '/' || *at == '\\') name = at + 1;
    }
    return name;
}

}  // namespace

void translate_current_exception()
{
    try {
        throw;
    }
#if defined(__GLIBCXX__)
    catch (const abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "pyveka.veka_call: C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pyveka.veka_call: unexpected C++ exception");
    }
}

void wait_for_the_process_to_end() noexcept
{
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void add_traceback_entry(const char* entry_name, const SourceLine& where, PyObject* globals)
{
    PendingExceptionKept pending;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(base_name(where.file()), entry_name, where.line())));
    if (!code) return;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    if (!frame) return;
    // PyTraceBack_Here extends the traceback of the pending exception; when
    // it fails, it leaves MemoryError in that exception's place.
    pending.restore_copy();
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) == 0) {
        pending.keep_pending();
    }
}

}  // namespace veka
