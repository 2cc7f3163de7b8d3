// The module frame: the definition handed to the interpreter, the create and
// exec steps, and the table of the nine functions.
//
// The process keeps one module instance, in the interpreter's per-interpreter
// data; the constants belong to the function objects, which hold them through
// a capsule. The only static is the recorded interpreter identifier, so
// nothing is left owned in static storage after finalization.
#include "body_ops.hpp"
#include "constants.hpp"
#include "name_resolution.hpp"
#include "native_function.hpp"

#include <cstdint>
#include <cstring>
#include <new>


namespace veka {
namespace {

constexpr const char module_name[] = "pyveka.veka_call";
constexpr const char init_entry_name[] = "init pyveka.veka_call";

constexpr const char module_doc[] =
    "\n"
    "Python equivalents of R-VEKA's veka.call helpers.\n"
    "\n"
    "We try to locate binaries relative to this package directory, with the same\n"
    "layout used in R-VEKA:\n"
    "\n"
    "- mac (x86_64):   bin/mac/<32|64>bit/veka.run\n"
    "- mac.arm64:      bin/mac.arm64/veka.run\n"
    "- linux:          bin/linux/<32|64>bit/veka.mkl.run\n"
    "- windows:        bin/windows/<32|64>bit/veka.exe\n"
    "\n"
    "Same for grelvin: .../grelvin.run (or .exe on Windows)\n"
    "\n"
    "Environment overrides:\n"
    "- VEKA_BIN        (path to veka.* binary)\n"
    "- GRELVIN_BIN     (path to grelvin.* binary)\n"
    "- VEKA_REMOTE_BIN (path to bin/remote/veka.remote)\n";

// ---- The function table ------------------------------------------------------

constexpr const char* parts_locals[] = {"parts", "path"};
constexpr const char* lookup_locals[] = {"env", "sysname", "bits", "mach", "path"};
constexpr const char* configured_call_locals[] = {"veka_get_option", "call"};
constexpr const char* remote_script_locals[] = {"env", "path"};

constexpr const char solver_doc[] = "Return the built-in path to the veka executable for this OS/arch.";
constexpr const char configured_call_doc[] =
    "\n"
    "    Return the current veka.call (if set), except if it is 'remote'/'veka.remote',\n"
    "    then return the built-in path instead.\n"
    "    (This is wired into options.get to avoid recursion.)\n"
    "    ";
constexpr const char mesher_doc[] =
    "Return the built-in path to the grelvin executable for this OS/arch.";
constexpr const char remote_script_doc[] =
    "\n"
    "    Return the path to the remote launcher script if present, else None.\n"
    "    ";

constexpr Parameters none = Parameters::none;

constexpr FunctionRow function_table[] = {
    {"_bits", "pyveka.veka_call._bits", none, nullptr, "str", nullptr, {}, bits_body},
    {"_system", "pyveka.veka_call._system", none, nullptr, "str", nullptr, {}, system_body},
    {"_machine", "pyveka.veka_call._machine", none, nullptr, "str", nullptr, {}, machine_body},
    {"_package_root", "pyveka.veka_call._package_root", none, nullptr, "str", nullptr, {},
     package_root_body},
    {"_resolve_path", "pyveka.veka_call._resolve_path", Parameters::variadic_parts, "str",
     "Optional[str]", nullptr, parts_locals, resolve_path_body},
    {"veka_call_builtin", "pyveka.veka_call.veka_call_builtin", none, nullptr, "str", solver_doc,
     lookup_locals, solver_lookup_body},
    {"veka_call_no_remote", "pyveka.veka_call.veka_call_no_remote", none, nullptr, "str",
     configured_call_doc, configured_call_locals, configured_call_body},
    {"grelvin_call_builtin", "pyveka.veka_call.grelvin_call_builtin", none, nullptr, "str",
     mesher_doc, lookup_locals, mesher_lookup_body},
    {"veka_remote_script", "pyveka.veka_call.veka_remote_script", none, nullptr,
     "Optional[str]", remote_script_doc, remote_script_locals, remote_script_body},
};

// ---- Process-wide state --------------------------------------------------------

// Recorded by the first create step and never cleared: only one interpreter
// of the process may hold the module.
std::int64_t recorded_interpreter = -1;

// The single module instance is kept in the interpreter's dict of
// per-interpreter data, not in a static: the strong reference there keeps it
// for every re-import, and the interpreter itself drops it when it shuts down.
constexpr const char instance_key[] = "pyveka.veka_call instance";

PyObject* interpreter_data()
{
    PyObject* data = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!data && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "pyveka.veka_call: no per-interpreter data dict");
    }
    return data;
}

// The instance, an empty Ref when there is none, or an empty Ref with an exception set.
Ref recorded_instance()
{
    PyObject* data = interpreter_data();
    if (!data) return {};
    Ref key = Ref::steal(PyUnicode_FromString(instance_key));
    if (!key) return {};
    return Ref::borrow(PyDict_GetItemWithError(data, key.get()));
}

bool record_instance(PyObject* module)
{
    PyObject* data = interpreter_data();
    return data && PyDict_SetItemString(data, instance_key, module) == 0;
}

// After `module` failed its exec step; the exception that failed it stays pending.
void forget_instance(PyObject* module)
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* data = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (data && PyDict_GetItemString(data, instance_key) == module &&
        PyDict_DelItemString(data, instance_key) < 0) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// ---- Imports ---------------------------------------------------------------------

// `import name`, or `from name import attribute`: sys.modules first, else the
// import system itself; builtins.__import__ is never consulted.
Ref import_module(const char* name, PyObject* namespace_dict, const char* attribute = nullptr)
{
    Ref module_name_object = Ref::steal(PyUnicode_InternFromString(name));
    if (!module_name_object) return {};
    Ref module = Ref::steal(PyImport_GetModule(module_name_object.get()));
    if (!module && PyErr_Occurred()) return {};
    // A None entry blocks the import: let the import system say so.
    if (module.get() == Py_None) module.reset();
    if (module && attribute) {
        Ref value = Ref::steal(PyObject_GetAttrString(module.get(), attribute));
        if (value) return value;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        module.reset();
    }
    if (!module) {
        Ref locals = Ref::steal(PyDict_New());
        Ref fromlist = attribute ? Ref::steal(Py_BuildValue("(s)", attribute)) : Ref::borrow(Py_None);
        if (!locals || !fromlist) return {};
        module = Ref::steal(PyImport_ImportModuleLevelObject(
            module_name_object.get(), namespace_dict, locals.get(), fromlist.get(), 0));
        if (!module) return {};
    }
    if (!attribute) return module;
    Ref value = Ref::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref attribute_name = Ref::steal(PyUnicode_FromString(attribute));
        if (attribute_name) PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute_name.get());
    }
    return value;
}

// ---- Create step -----------------------------------------------------------------

// Copies module_spec.<from> to the namespace key <to>; a missing attribute is skipped.
bool copy_spec_attribute(PyObject* module_spec, const char* from, PyObject* namespace_dict, const char* to,
                         bool copy_none)
{
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !copy_none) return true;
    return PyDict_SetItemString(namespace_dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*)
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (recorded_interpreter == -1) {
        recorded_interpreter = interpreter;
    } else if (interpreter != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    Ref instance = recorded_instance();
    if (instance || PyErr_Occurred()) return instance.release();

    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* namespace_dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(module_spec, "loader", namespace_dict, "__loader__", true) ||
        !copy_spec_attribute(module_spec, "origin", namespace_dict, "__file__", true) ||
        !copy_spec_attribute(module_spec, "parent", namespace_dict, "__package__", true) ||
        !copy_spec_attribute(module_spec, "submodule_search_locations", namespace_dict, "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// ---- Exec step -------------------------------------------------------------------

struct Version {
    long major;
    long minor;
};

// The running interpreter's version as sys.version_info reports it, so that a
// test can stand in for another interpreter; Py_Version when that is unusable.
Version running_version()
{
    PyObject* info = PySys_GetObject("version_info");
    if (info) {
        Ref major = Ref::steal(PySequence_GetItem(info, 0));
        Ref minor = Ref::steal(PySequence_GetItem(info, 1));
        const long major_number = major ? PyLong_AsLong(major.get()) : -1;
        const long minor_number = minor ? PyLong_AsLong(minor.get()) : -1;
        if (!PyErr_Occurred()) return {major_number, minor_number};
        PyErr_Clear();
    }
    return {static_cast<long>((Py_Version >> 24) & 0xff),
            static_cast<long>((Py_Version >> 16) & 0xff)};
}

// The version the module was compiled for comes from the headers it was built against.
bool warn_on_version_mismatch()
{
    const Version running = running_version();
    if (running.major == PY_MAJOR_VERSION && running.minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %ld.%ld",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match",
                            running.major, running.minor) == 0;
}

// sys.modules holds the module under its full name, whatever name it was
// imported under; an existing entry stays. Sets `inserted` when it added one.
bool ensure_in_sys_modules(PyObject* module, bool* inserted = nullptr)
{
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_InternFromString(module_name));
    if (!key) return false;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    if (present) return true;
    if (PyDict_SetItem(modules, key.get(), module) < 0) return false;
    if (inserted) *inserted = true;
    return true;
}

void remove_from_sys_modules(PyObject* module)
{
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemString(modules, module_name);
    if (entry == module && PyDict_DelItemString(modules, module_name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

bool bind(PyObject* namespace_dict, const char* name, const Ref& value)
{
    return value && PyDict_SetItemString(namespace_dict, name, value.get()) == 0;
}

// Steps after the constants exist; a failure here gets the init traceback entry.
struct Initialisation {
    PyObject* module;
    PyObject* namespace_dict;
    Ref constants_owner;
    Constants* constants = nullptr;
    bool inserted_in_sys_modules = false;
    SourceLine failed_at{};

    bool fail(SourceLine where = SourceLine::here())
    {
        failed_at = where;
        return false;
    }

    bool run_statements()
    {
        if (!ensure_in_sys_modules(module, &inserted_in_sys_modules)) return fail();
        if (!make_tuples(*constants)) return fail();
        if (!bind(namespace_dict, "os", import_module("os", namespace_dict))) return fail();
        if (!bind(namespace_dict, "platform", import_module("platform", namespace_dict))) return fail();
        if (!bind(namespace_dict, "Optional", import_module("typing", namespace_dict, "Optional"))) {
            return fail();
        }
        Ref function_type = make_function_type();
        if (!function_type) return fail();
        constants->function_type = reinterpret_cast<PyTypeObject*>(function_type.get());
        for (const FunctionRow& row : function_table) {
            Ref function =
                make_function(function_type.get(), row, constants_owner.get(), namespace_dict);
            if (!bind(namespace_dict, row.name, function)) return fail();
        }
        if (!bind(namespace_dict, "__test__", Ref::steal(PyDict_New()))) return fail();
        return true;
    }
};

int exec_module(PyObject* module)
{
    Ref instance = recorded_instance();
    if (!instance && PyErr_Occurred()) return -1;
    if (instance) {
        if (instance.get() == module) return ensure_in_sys_modules(module) ? 0 : -1;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'veka_call' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (!record_instance(module)) return -1;
    Initialisation init{module, PyModule_GetDict(module), {}};

    Ref builtins = import_module("builtins", init.namespace_dict);
    bool ok = bind(init.namespace_dict, "__builtins__", builtins) && warn_on_version_mismatch();
    if (ok) {
        init.constants = new Constants{};
        init.constants_owner = wrap_constants(init.constants);
        ok = init.constants_owner && make_strings_and_numbers(*init.constants);
        if (ok) {
            init.constants->builtins = std::move(builtins);
            if (!init.run_statements()) {
                add_traceback_entry(init_entry_name, init.failed_at, init.namespace_dict);
                ok = false;
            }
        }
    }
    if (ok) return 0;
    if (init.inserted_in_sys_modules) remove_from_sys_modules(module);
    forget_instance(module);
    return -1;
}

// Slots are called by the interpreter: no C++ exception may pass them.
PyObject* create_slot(PyObject* module_spec, PyModuleDef* definition) noexcept
{
    try {
        return create_module(module_spec, definition);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pyveka.veka_call: unexpected C++ exception");
        return nullptr;
    }
}

int exec_slot(PyObject* module) noexcept
{
    try {
        return exec_module(module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pyveka.veka_call: unexpected C++ exception");
    }
    forget_instance(module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "veka_call",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace veka

PyMODINIT_FUNC PyInit_veka_call()
{
    return PyModuleDef_Init(&veka::module_definition);
}
