#include "shared_state.hpp"

#include "errors.hpp"

#include <initializer_list>
#include <iterator>
#include <new>

namespace veka {
namespace {

struct StringEntry {
    Ref Constants::* member;
    const char* text;
};

struct CachedStringEntry {
    CachedName Constants::* member;
    const char* text;
};

constexpr CachedStringEntry cached_string_table[] = {
    {&Constants::os, "os"},
    {&Constants::platform, "platform"},
    {&Constants::module_file, "__file__"},
    {&Constants::bits_fn, "_bits"},
    {&Constants::system_fn, "_system"},
    {&Constants::machine_fn, "_machine"},
    {&Constants::package_root_fn, "_package_root"},
    {&Constants::resolve_path_fn, "_resolve_path"},
    {&Constants::solver_lookup_fn, "veka_call_builtin"},
    {&Constants::sys, "sys"},
    {&Constants::maxsize, "maxsize"},
    {&Constants::system, "system"},
    {&Constants::machine, "machine"},
    {&Constants::path, "path"},
    {&Constants::join, "join"},
    {&Constants::exists, "exists"},
    {&Constants::dirname, "dirname"},
    {&Constants::abspath, "abspath"},
    {&Constants::environ_name, "environ"},
    {&Constants::options_full_name, "pyveka.options"},
    {&Constants::veka_get_option, "veka_get_option"},
};

constexpr StringEntry string_table[] = {
    {&Constants::lower, "lower"},
    {&Constants::get, "get"},
    {&Constants::startswith, "startswith"},
    {&Constants::sixty_four, "64"},
    {&Constants::thirty_two, "32"},
    {&Constants::sixty_four_bit, "64bit"},
    {&Constants::thirty_two_bit, "32bit"},
    {&Constants::bit, "bit"},
    {&Constants::empty, ""},
    {&Constants::darwin, "darwin"},
    {&Constants::linux_name, "linux"},
    {&Constants::win, "win"},
    {&Constants::arm64, "arm64"},
    {&Constants::aarch64, "aarch64"},
    {&Constants::bin, "bin"},
    {&Constants::mac, "mac"},
    {&Constants::mac_arm64, "mac.arm64"},
    {&Constants::windows, "windows"},
    {&Constants::remote, "remote"},
    {&Constants::veka_remote, "veka.remote"},
    {&Constants::veka_call_option, "veka.call"},
    {&Constants::unknown_os, "Unknown OS"},
    {&Constants::veka_remote_bin_variable, "VEKA_REMOTE_BIN"},
    {&Constants::typing, "typing"},
    {&Constants::optional, "Optional"},
    {&Constants::options, "options"},
    {&Constants::lazy_types_module, "_types"},
    {&Constants::lazy_import_type_name, "LazyImportType"},
    {&Constants::resolve, "resolve"},
};

// What the solver's and the mesh generator's lookups read of their own.
struct ExecutableTexts {
    const char* variable;
    const char* mac_file;
    const char* linux_file;
    const char* windows_file;
    const char* not_found;
};

constexpr ExecutableTexts solver_texts{
    .variable = "VEKA_BIN",
    .mac_file = "veka.run",
    .linux_file = "veka.mkl.run",
    .windows_file = "veka.exe",
    .not_found = "VEKA installation error; veka binary not found for this OS/arch.",
};

constexpr ExecutableTexts mesher_texts{
    .variable = "GRELVIN_BIN",
    .mac_file = "grelvin.run",
    .linux_file = "grelvin.run",
    .windows_file = "grelvin.exe",
    .not_found = "VEKA installation error; grelvin binary not found for this OS/arch.",
};

constexpr ExecutableProgram Constants::* executables[] = {&Constants::solver, &Constants::mesher};

constexpr Ref Constants::* made_objects[] = {
    &Constants::two_to_the_32,
    &Constants::remote_script_parts,
    &Constants::str_lower,
    &Constants::lazy_import_type,
};

constexpr Ref Constants::* cycle_closers[] = {
    &Constants::builtins,
    &Constants::loaded_modules,
};

// Every member is in exactly one of the five tables: traverse and clear
// cannot miss one.
static_assert(sizeof(ExecutableProgram) == sizeof(Ref) * ExecutableProgram::member_count);
static_assert(sizeof(Constants) ==
              sizeof(CachedName) * std::size(cached_string_table) +
                  sizeof(ExecutableProgram) * std::size(executables) +
                  sizeof(Ref) * (std::size(string_table) + std::size(made_objects) +
                                 std::size(cycle_closers)));

// ---- The state object ------------------------------------------------------

struct SharedState {
    PyObject_HEAD
    Constants constants;
    DictWatch watch;
};

SharedState* as_state(PyObject* object)
{
    return reinterpret_cast<SharedState*>(object);
}

int traverse_state(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    Constants& k = as_state(self)->constants;
    for (const CachedStringEntry& entry : cached_string_table) {
        Py_VISIT((k.*entry.member).text.get());
        Py_VISIT((k.*entry.member).cache.value.get());
    }
    for (const StringEntry& entry : string_table) Py_VISIT((k.*entry.member).get());
    for (ExecutableProgram Constants::* program : executables) {
        for (const Ref* member : (k.*program).members()) Py_VISIT(member->get());
    }
    for (Ref Constants::* member : made_objects) Py_VISIT((k.*member).get());
    for (Ref Constants::* member : cycle_closers) Py_VISIT((k.*member).get());
    return as_state(self)->watch.traverse(visit, arg);
}

// The remembered answers and the watched dicts may reach back to the state
// (a function of the module, the namespace that holds them).
int clear_state(PyObject* self)
{
    as_state(self)->watch.stop();
    Constants& k = as_state(self)->constants;
    for (const CachedStringEntry& entry : cached_string_table) forget((k.*entry.member).cache);
    for (Ref Constants::* member : cycle_closers) (k.*member).reset();
    return 0;
}

void dealloc_state(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_state(self)->watch.~DictWatch();
    as_state(self)->constants.~Constants();
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_state)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_state)},
    {0, nullptr},
};

PyType_Spec state_spec = {
    .name = "pyveka.veka_call.shared_state",
    .basicsize = sizeof(SharedState),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = state_slots,
};

// The tuple of several constants, each shared with its own member.
Ref tuple_of(std::initializer_list<PyObject*> items)
{
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(item));
    return tuple;
}

Ref interned(const char* text)
{
    return check(PyUnicode_InternFromString(text));
}

void make_executable_texts(ExecutableProgram& program, const ExecutableTexts& texts)
{
    program.variable = interned(texts.variable);
    program.mac_file = interned(texts.mac_file);
    program.linux_file = interned(texts.linux_file);
    program.windows_file = interned(texts.windows_file);
    program.not_found = interned(texts.not_found);
}

}  // namespace

Ref make_shared_state()
{
    Ref type = check(type_from_spec(&state_spec));
    Ref state = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    // The allocation is zeroed, which is an empty Ref; construct them anyway,
    // so the destructor in dealloc meets objects it made.
    new (&as_state(state.get())->constants) Constants{};
    new (&as_state(state.get())->watch) DictWatch{};
    return state;
}

Constants& constants_of(PyObject* state) noexcept
{
    return as_state(state)->constants;
}

DictWatch& watch_of(PyObject* state) noexcept
{
    return as_state(state)->watch;
}

void make_strings_and_numbers(Constants& k)
{
    for (const CachedStringEntry& entry : cached_string_table) {
        (k.*entry.member).text = check(PyUnicode_InternFromString(entry.text));
    }
    for (const StringEntry& entry : string_table) {
        k.*entry.member = check(PyUnicode_InternFromString(entry.text));
    }
    make_executable_texts(k.solver, solver_texts);
    make_executable_texts(k.mesher, mesher_texts);
    k.two_to_the_32 = check(PyLong_FromLongLong(4294967296LL));
    k.str_lower =
        check(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), k.lower.get()));
}

void make_tuples(Constants& k)
{
    for (ExecutableProgram* program : {&k.solver, &k.mesher}) {
        program->mac_arm64_parts =
            tuple_of({k.bin.get(), k.mac_arm64.get(), program->mac_file.get()});
    }
    k.remote_script_parts = tuple_of({k.bin.get(), k.remote.get(), k.veka_remote.get()});
}

}  // namespace veka
