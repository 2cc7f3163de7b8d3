// The objects the function bodies use, made once when the module executes.
//
// One Constants instance belongs to one module execution. Every function
// object made by that execution owns a reference to the capsule that owns the
// instance, so the constants live exactly as long as a function can still run;
// nothing here is kept in static storage.
#pragma once

#include "owned_ref.hpp"

namespace veka {

struct Constants {
    // Module-level names the bodies resolve at call time.
    Ref os, platform, module_file, bits_fn, system_fn, machine_fn, package_root_fn,
        resolve_path_fn, solver_lookup_fn;

    // Attribute and method names.
    Ref sys, maxsize, system, machine, lower, path, join, exists, dirname, abspath, environ,
        get, startswith;

    // Literals.
    Ref sixty_four, thirty_two, sixty_four_bit, thirty_two_bit, bit, empty, darwin, linux, win, arm64, aarch64, bin, mac,
        mac_arm64,         windows, remote, veka_remote, veka_call_option, unknown_os;

    // The two executables and the launcher script.
    Ref veka_bin_variable, grelvin_bin_variable, veka_remote_bin_variable, veka_run,
        veka_mkl_run, veka_exe, grelvin_run, grelvin_exe, veka_not_found, grelvin_not_found;

    // The options getter import.
    Ref options, options_full_name, veka_get_option;

    // Made after the strings, in the order the module initialises them.
    Ref two_to_the_32;
    Ref solver_mac_arm64_parts, mesher_mac_arm64_parts, remote_script_parts;
    Ref veka_get_option_fromlist, empty_locals;

    // Fallback of call-time name resolution.
    Ref builtins;

    // The type of the module's functions, to call them past the generic call
    // machinery. Borrowed: every function holds both its type and these
    // constants, so no call can see the type gone.
    PyTypeObject* function_type = nullptr;
};

// Interns every string and makes 2**32; returns false with an exception set.
bool make_strings_and_numbers(Constants& k);
// Builds the argument tuples and the import helpers; false with an exception set.
bool make_tuples(Constants& k);

// Ownership of a Constants instance as a Python object, so function objects
// can hold it like any other reference.
Ref wrap_constants(Constants* k);
const Constants& unwrap_constants(PyObject* capsule);

// What tells the solver lookup and the mesh-generator lookup apart.
struct ExecutableRow {
    Ref Constants::*variable;
    Ref Constants::*mac_arm64_parts;
    Ref Constants::*mac_file;
    Ref Constants::*linux_file;
    Ref Constants::*windows_file;
    Ref Constants::*not_found;
};

inline constexpr ExecutableRow solver_row{
    &Constants::veka_bin_variable, &Constants::solver_mac_arm64_parts, &Constants::veka_run,
    &Constants::veka_mkl_run,      &Constants::veka_exe,               &Constants::veka_not_found,
};

inline constexpr ExecutableRow mesher_row{
    &Constants::grelvin_bin_variable, &Constants::mesher_mac_arm64_parts, &Constants::grelvin_run,
    &Constants::grelvin_run,          &Constants::grelvin_exe,            &Constants::grelvin_not_found,
};

}  // namespace veka
