// The module's life cycle: the definition handed to the interpreter, and the
// create and exec steps, which make the functions of the function table
// (function_table.cpp).
//
// The process keeps one module instance, in the interpreter's per-interpreter
// data; what the functions share belongs to them (shared_state.hpp). The
// statics of this file are the module definition and the recorded
// interpreter identifier: neither owns an object.
#include "errors.hpp"
#include "function_table.hpp"
#include "interpreter_access.hpp"
#include "name_resolution.hpp"
#include "native_function.hpp"
#include "shared_state.hpp"

#include <atomic>
#include <cstdint>

namespace veka {
namespace {

constexpr const char init_entry_name[] = "init pyveka.veka_call";

// ---- Process-wide state ----------------------------------------------------

// Recorded by the first create step and never cleared: only one interpreter
// of the process may hold the module. Atomic, since interpreters with a GIL
// of their own may run their create steps at the same time.
std::atomic<std::int64_t> recorded_interpreter{-1};

// The single module instance is kept in the interpreter's dict of
// per-interpreter data, not in a static: the strong reference there keeps it
// for every re-import, and the interpreter itself drops it when it shuts down.
constexpr const char instance_key_text[] = "pyveka.veka_call instance";

Ref interpreter_data()
{
    return check_lookup(interpreter_dict());
}

// The keys of the two entries an exec step may make: the recorded instance
// and the module's sys.modules entry. Made before either entry, so that
// undoing them allocates nothing.
struct EntryKeys {
    Ref instance = check(PyUnicode_InternFromString(instance_key_text));
    Ref full_name = check(PyUnicode_InternFromString(module_full_name));
};

// The recorded instance, or an empty Ref.
Ref recorded_instance(const Ref& data, const EntryKeys& keys)
{
    return check_lookup(PyDict_GetItemWithError(data.get(), keys.instance.get()));
}

// ---- Imports ---------------------------------------------------------------

// `import <module>` or `from <module> import <name>` at import time.
Ref import_at_exec(PyObject* module, PyObject* name, PyObject* loaded_modules,
                   PyObject* namespace_dict)
{
    return run_import({.module = module, .full_name = module, .name = name, .level = 0},
                      loaded_modules, namespace_dict);
}

// ---- Create step -----------------------------------------------------------

// Copies module_spec.<from> to the namespace key <to>; a missing attribute is skipped.
void copy_spec_attribute(PyObject* module_spec, const char* from, PyObject* namespace_dict,
                         const char* to, bool copy_none)
{
    PyObject* value = PyObject_GetAttrString(module_spec, from);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return;
    }
    Ref owned = check(value);
    if (owned.get() == Py_None && !copy_none) return;
    check_status(PyDict_SetItemString(namespace_dict, to, owned.get()));
}

Ref create_module(PyObject* module_spec)
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) throw PythonError(SourceLine::here());
    std::int64_t recorded = -1;
    if (!recorded_interpreter.compare_exchange_strong(recorded, interpreter) &&
        recorded != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        throw PythonError(SourceLine::here());
    }
    Ref instance = recorded_instance(interpreter_data(), EntryKeys{});
    if (instance) return instance;

    Ref name = check(PyObject_GetAttrString(module_spec, "name"));
    // The import system read a str here before; a spec that answers
    // otherwise now is refused as the import system refuses it.
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "spec.name must be a string");
        throw PythonError(SourceLine::here());
    }
    Ref module = check(PyModule_NewObject(name.get()));
    // Owned: reading the spec's attributes runs the spec's code.
    Ref namespace_dict = Ref::borrow(PyModule_GetDict(module.get()));
    copy_spec_attribute(module_spec, "loader", namespace_dict.get(), "__loader__", true);
    copy_spec_attribute(module_spec, "origin", namespace_dict.get(), "__file__", true);
    copy_spec_attribute(module_spec, "parent", namespace_dict.get(), "__package__", true);
    copy_spec_attribute(module_spec, "submodule_search_locations", namespace_dict.get(), "__path__",
                        false);
    return module;
}

// ---- Exec step -------------------------------------------------------------

// The running interpreter's version, as sys.version_info reports it, so that
// a test can stand in for another interpreter; Py_Version when sys has no
// version_info. Either part as an exact int, whatever its size.
struct Version {
    Ref major;
    Ref minor;
};

Version running_version()
{
    PyObject* found = nullptr;
    const bool reported = check_status(PySys_GetOptionalAttrString("version_info", &found)) == 1;
    const Ref info = Ref::steal(found);
    if (!reported) {
        return {check(PyLong_FromUnsignedLong((Py_Version >> 24U) & 0xffU)),
                check(PyLong_FromUnsignedLong((Py_Version >> 16U) & 0xffU))};
    }
    Ref major = check(PySequence_GetItem(info.get(), 0));
    Ref minor = check(PySequence_GetItem(info.get(), 1));
    return {check(PyNumber_Index(major.get())), check(PyNumber_Index(minor.get()))};
}

bool equals_number(const Ref& number, long expected)
{
    const Ref expected_number = check(PyLong_FromLong(expected));
    return check_status(PyObject_RichCompareBool(number.get(), expected_number.get(), Py_EQ)) != 0;
}

// The version the module was compiled for comes from the headers it was built against.
void warn_on_version_mismatch()
{
    const Version running = running_version();
    if (equals_number(running.major, PY_MAJOR_VERSION) &&
        equals_number(running.minor, PY_MINOR_VERSION)) {
        return;
    }
    check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                  "compile time Python version %d.%d of module '%.100s' %s "
                                  "runtime version %S.%S",
                                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_full_name,
                                  "does not match", running.major.get(), running.minor.get()));
}

// sys.modules holds the module under its full name, whatever name it was
// imported under; an existing entry stays. True when it added the entry.
bool ensure_in_sys_modules(PyObject* module, const EntryKeys& keys)
{
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    if (check_status(PyDict_Contains(modules.get(), keys.full_name.get()))) return false;
    check_status(PyDict_SetItem(modules.get(), keys.full_name.get(), module));
    return true;
}

void bind(PyObject* namespace_dict, const char* name, const Ref& value)
{
    check_status(PyDict_SetItemString(namespace_dict, name, value.get()));
}

// Removes dict[key] when it is `value`. Allocates nothing: the key is a str
// whose hash is already known.
void remove_entry(PyObject* dict, PyObject* key, PyObject* value)
{
    if (PyDict_GetItemWithError(dict, key) == value) PyDict_DelItem(dict, key);
}

// What a failed exec step undoes, on every path by which it fails, so that
// the next import starts afresh: the recorded instance, and the sys.modules
// entry it added. The exception that failed it is the one that stays.
class UndoOnFailure {
public:
    UndoOnFailure(PyObject* module, Ref data, const EntryKeys& keys)
        : module_(module), data_(std::move(data)), keys_(keys)
    {
    }
    ~UndoOnFailure()
    {
        if (succeeded_) return;
        PendingExceptionKept failure;
        remove_entry(data_.get(), keys_.instance.get(), module_);
        if (added_to_sys_modules) {
            remove_entry(PyImport_GetModuleDict(), keys_.full_name.get(), module_);
        }
    }
    UndoOnFailure(const UndoOnFailure&) = delete;
    UndoOnFailure& operator=(const UndoOnFailure&) = delete;

    void succeeded() { succeeded_ = true; }
    bool added_to_sys_modules = false;

private:
    PyObject* module_;
    Ref data_;
    const EntryKeys& keys_;
    bool succeeded_ = false;
};

// The statements after the constants exist: the module's own source, in order.
void run_statements(PyObject* module, PyObject* namespace_dict, PyObject* shared_state,
                    UndoOnFailure& undo, const EntryKeys& keys)
{
    Constants& k = constants_of(shared_state);
    undo.added_to_sys_modules = ensure_in_sys_modules(module, keys);
    make_tuples(k);
    PyObject* loaded = k.loaded_modules.get();
    bind(namespace_dict, "os", import_at_exec(k.os.text.get(), nullptr, loaded, namespace_dict));
    bind(namespace_dict, "platform",
         import_at_exec(k.platform.text.get(), nullptr, loaded, namespace_dict));
    bind(namespace_dict, "Optional",
         import_at_exec(k.typing.get(), k.optional.get(), loaded, namespace_dict));
    if constexpr (has_lazy_imports) {  // what the functions' lookups must know from the start
        k.lazy_import_type = import_at_exec(k.lazy_types_module.get(),
                                            k.lazy_import_type_name.get(), loaded, namespace_dict);
    }
    const Ref function_type = make_function_type();
    for (const FunctionRow& row : function_table()) {
        bind(namespace_dict, row.name,
             make_function(function_type.get(), row, shared_state, namespace_dict));
    }
    bind(namespace_dict, "__test__", check(PyDict_New()));
}

void exec_module(PyObject* module)
{
    const EntryKeys keys;
    Ref data = interpreter_data();
    Ref instance = recorded_instance(data, keys);
    if (instance) {
        if (instance.get() == module) {
            ensure_in_sys_modules(module, keys);
            return;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'veka_call' has already been imported. Re-initialisation is not "
                        "supported.");
        throw PythonError(SourceLine::here());
    }

    UndoOnFailure undo(module, data.share(), keys);
    check_status(PyDict_SetItem(data.get(), keys.instance.get(), module));
    Ref namespace_dict = Ref::borrow(PyModule_GetDict(module));
    Ref loaded_modules = Ref::borrow(PyImport_GetModuleDict());

    Ref builtins_name = check(PyUnicode_InternFromString("builtins"));
    Ref builtins =
        import_at_exec(builtins_name.get(), nullptr, loaded_modules.get(), namespace_dict.get());
    bind(namespace_dict.get(), "__builtins__", builtins);
    warn_on_version_mismatch();

    Ref shared_state = make_shared_state();
    Constants& k = constants_of(shared_state.get());
    make_strings_and_numbers(k);
    watch_of(shared_state.get()).start(namespace_dict.get());
    k.builtins = std::move(builtins);
    k.loaded_modules = std::move(loaded_modules);

    try {
        run_statements(module, namespace_dict.get(), shared_state.get(), undo, keys);
    } catch (const PythonError& error) {
        add_traceback_entry(init_entry_name, error.where, namespace_dict.get());
        throw;
    }
    undo.succeeded();
}

// The interpreter calls the slots: every C++ exception stops here, but a
// forced unwind (errors.hpp).
PyObject* create_slot(PyObject* module_spec, PyModuleDef*)
{
    try {
        return create_module(module_spec).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

int exec_slot(PyObject* module)
{
    try {
        exec_module(module);
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    VEKA_INTERPRETER_SLOT VEKA_GIL_SLOT{0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "veka_call",
    .m_doc = module_doc,
    .m_size = 0,
    .m_slots = module_slots,
};

}  // namespace
}  // namespace veka

PyMODINIT_FUNC PyInit_veka_call()
{
    return PyModuleDef_Init(&veka::module_definition);
}
