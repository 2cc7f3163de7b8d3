#include "constants.hpp"

#include <initializer_list>
#include <utility>

namespace veka {
namespace {

struct StringEntry {
    Ref Constants::*member;
    const char* text;
};

constexpr StringEntry string_table[] = {
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
    {&Constants::lower, "lower"},
    {&Constants::path, "path"},
    {&Constants::join, "join"},
    {&Constants::exists, "exists"},
    {&Constants::dirname, "dirname"},
    {&Constants::abspath, "abspath"},
    {&Constants::environ, "environ"},
    {&Constants::get, "get"},
    {&Constants::startswith, "startswith"},
    {&Constants::sixty_four, "64"},
    {&Constants::thirty_two, "32"},
    {&Constants::sixty_four_bit, "64bit"},
    {&Constants::thirty_two_bit, "32bit"},
    {&Constants::bit, "bit"},
    {&Constants::empty, ""},
    {&Constants::darwin, "darwin"},
    {&Constants::linux, "linux"},
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
    {&Constants::veka_bin_variable, "VEKA_BIN"},
    {&Constants::grelvin_bin_variable, "GRELVIN_BIN"},
    {&Constants::veka_remote_bin_variable, "VEKA_REMOTE_BIN"},
    {&Constants::veka_run, "veka.run"},
    {&Constants::veka_mkl_run, "veka.mkl.run"},
    {&Constants::veka_exe, "veka.exe"},
    {&Constants::grelvin_run, "grelvin.run"},
    {&Constants::grelvin_exe, "grelvin.exe"},
    {&Constants::veka_not_found, "VEKA installation error; veka binary not found for this OS/arch."},
    {&Constants::grelvin_not_found,
     "VEKA installation error; grelvin binary not found for this OS/arch."},
    {&Constants::options, "options"},
    {&Constants::options_full_name, "pyveka.options"},
    {&Constants::veka_get_option, "veka_get_option"},
};

// The tuple of several constants, each shared with its own member.
Ref tuple_of(std::initializer_list<PyObject*> items)
{
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t index = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), index++, Ref::borrow(item).release());
    return tuple;
}

constexpr const char capsule_name[] = "pyveka.veka_call.constants";

void destroy_constants(PyObject* capsule)
{
    delete static_cast<Constants*>(PyCapsule_GetPointer(capsule, capsule_name));
}

}  // namespace

bool make_strings_and_numbers(Constants& k)
{
    for (const StringEntry& entry : string_table) {
        k.*entry.member = Ref::steal(PyUnicode_InternFromString(entry.text));
        if (!(k.*entry.member)) return false;
    }
    k.two_to_the_32 = Ref::steal(PyLong_FromLongLong(4294967296LL));
    return static_cast<bool>(k.two_to_the_32);
}

bool make_tuples(Constants& k)
{
    k.solver_mac_arm64_parts = tuple_of({k.bin.get(), k.mac_arm64.get(), k.veka_run.get()});
    k.mesher_mac_arm64_parts = tuple_of({k.bin.get(), k.mac_arm64.get(), k.grelvin_run.get()});
    k.remote_script_parts = tuple_of({k.bin.get(), k.remote.get(), k.veka_remote.get()});
    k.veka_get_option_fromlist = tuple_of({k.veka_get_option.get()});
    k.empty_locals = Ref::steal(PyDict_New());
    return k.solver_mac_arm64_parts && k.mesher_mac_arm64_parts && k.remote_script_parts &&
           k.veka_get_option_fromlist && k.empty_locals;
}

Ref wrap_constants(Constants* k)
{
    Ref capsule = Ref::steal(PyCapsule_New(k, capsule_name, destroy_constants));
    if (!capsule) delete k;
    return capsule;
}

const Constants& unwrap_constants(PyObject* capsule)
{
    return *static_cast<const Constants*>(PyCapsule_GetPointer(capsule, capsule_name));
}

}  // namespace veka
