// What the nine functions share: the constants made once by the exec step,
// the objects that name resolution and imports fall back on, and the caches
// of the names they look up (name_cache.hpp).
//
// They live in one SharedState object per module execution, which every
// function object owns. It is an ordinary object of the garbage collector:
// traverse shows every reference it holds, and clear drops the ones that can
// close a reference cycle (builtins, sys.modules, the caches and the dicts
// they watch). A call that arrives after
// that (a finalizer, while the collector tears a cycle down) sees
// torn_down() and refuses. The strings, numbers and tuples cannot
// reach back to any object, so they stay until the state itself is freed.
#pragma once

#include "name_cache.hpp"
#include "owned_ref.hpp"

#include <array>

namespace veka {

// The constants of one executable's lookup: what tells the solver's lookup
// from the mesh generator's.
struct ExecutableProgram {
    Ref variable;      // the environment variable that overrides the lookup
    Ref mac_file;      // its file in bin/mac/<bits>bit and bin/mac.arm64
    Ref linux_file;    // in bin/linux/<bits>bit
    Ref windows_file;  // in bin/windows/<bits>bit
    Ref not_found;     // the text of the installation error
    // ("bin", "mac.arm64", mac_file): the arguments of that lookup, made once.
    Ref mac_arm64_parts;

    // Every member, for the collector.
    static constexpr std::size_t member_count = 6;
    [[nodiscard]] std::array<const Ref*, member_count> members() const
    {
        return {&variable, &mac_file, &linux_file, &windows_file, &not_found, &mac_arm64_parts};
    }
};

struct Constants {
    // Module-level names the bodies resolve at call time.
    CachedName os, platform, module_file, bits_fn, system_fn, machine_fn, package_root_fn,
        resolve_path_fn, solver_lookup_fn;

    // Attributes the bodies read on modules (os.path, platform.system, ...).
    CachedName sys, maxsize, system, machine, path, join, exists, dirname, abspath, environ_name;

    // Methods called on objects that are not modules.
    Ref lower, get, startswith;

    // Literals.
    Ref sixty_four, thirty_two, sixty_four_bit, thirty_two_bit, bit, empty, darwin, linux_name, win,
        arm64, aarch64, bin, mac, mac_arm64, windows, remote, veka_remote, veka_call_option,
        unknown_os;

    // The two executables, and the launcher script's variable.
    ExecutableProgram solver, mesher;
    Ref veka_remote_bin_variable;

    // The modules the exec step imports, and the options getter's import.
    Ref typing, optional, options;
    // Where the type of a lazy import's placeholder is found, and its method
    // that resolves one (from 3.15).
    Ref lazy_types_module, lazy_import_type_name, resolve;
    CachedName options_full_name, veka_get_option;

    // Made after the strings, in the order the exec step makes them.
    Ref two_to_the_32;
    Ref remote_script_parts;
    // str.lower itself, for exact str.
    Ref str_lower;
    // The type of a lazy import's placeholder; empty before 3.15.
    Ref lazy_import_type;

    // What may close a reference cycle; clear drops these.
    // The fallback of call-time name resolution.
    Ref builtins;
    // sys.modules, held from the exec step on: the interpreter never replaces
    // it, and once an interpreter's teardown has dropped it, an import through
    // this reference still fails with an ordinary exception.
    Ref loaded_modules;

    [[nodiscard]] bool torn_down() const noexcept { return !builtins; }
};

// A new state with every member empty; PythonError when it cannot be made.
Ref make_shared_state();
// The constants of a state made by make_shared_state.
Constants& constants_of(PyObject* state) noexcept;
// The dict watch its caches rest on.
DictWatch& watch_of(PyObject* state) noexcept;

// Interns every string and makes 2**32.
void make_strings_and_numbers(Constants& k);
// Builds the three constant argument tuples.
void make_tuples(Constants& k);

}  // namespace veka
