// The lookups: the bodies of `veka_call_builtin`, `veka_call_no_remote`,
// `grelvin_call_builtin` and `veka_remote_script`. Each reads like the Python
// function quoted above it, in the same order of operations.
#include "body_ops.hpp"

#include <utility>

namespace veka {
namespace {

// env = os.environ.get(VARIABLE)
Ref read_override(Frame& f, const Ref& variable)
{
    static constinit GlobalUse os{&Constants::os};
    static constinit AttributeUse environ_use{&Constants::environ_name};
    Ref os_module = f.global(os);
    Ref environment = f.attr(std::move(os_module), environ_use);
    return f.call_method(std::move(environment), f.k.get, {variable.get()});
}

// env and os.path.exists(env)
bool override_applies(Frame& f, const Ref& env)
{
    static constinit GlobalUse os{&Constants::os};
    static constinit AttributeUse path{&Constants::path};
    static constinit AttributeUse exists_use{&Constants::exists};
    if (!f.truth(env)) return false;
    Ref os_module = f.global(os);
    Ref os_path = f.attr(std::move(os_module), path);
    Ref exists = f.call_method(std::move(os_path), exists_use, {env.get()});
    return f.truth(std::move(exists));
}

// _resolve_path("bin", platform_dir, f"{bits}bit", file)
// Out of line, so that the lookups' own frames stay small.
VEKA_NOINLINE Ref resolve_by_word_size(Frame& f, const Ref& platform_dir, const Ref& word_size,
                                       const Ref& file)
{
    static constinit GlobalUse resolve_path{&Constants::resolve_path_fn};
    Ref resolve = f.global(resolve_path);
    Ref word_size_dir = f.word_size_directory(word_size);
    return f.call(std::move(resolve),
                  {f.k.bin.get(), platform_dir.get(), word_size_dir.get(), file.get()});
}

// def <lookup>() -> "str":
//     env = os.environ.get(VARIABLE)
//     if env and os.path.exists(env):
//         return env
//     sysname = _system()
//     bits = _bits()
//     mach = _machine()
//     if sysname == "darwin":
//         if mach == "arm64" or mach == "aarch64":
//             path = _resolve_path(*MAC_ARM64_PARTS)
//         else:
//             path = _resolve_path("bin", "mac", f"{bits}bit", MAC_FILE)
//     elif sysname == "linux":
//         path = _resolve_path("bin", "linux", f"{bits}bit", LINUX_FILE)
//     elif sysname.startswith("win"):
//         path = _resolve_path("bin", "windows", f"{bits}bit", WINDOWS_FILE)
//     else:
//         raise RuntimeError("Unknown OS")
//     if path:
//         return path
//     raise FileNotFoundError(NOT_FOUND)
Ref executable_lookup(Frame& f, const ExecutableRow& row)
{
    static constinit GlobalUse system{&Constants::system_fn};
    static constinit GlobalUse bits{&Constants::bits_fn};
    static constinit GlobalUse machine{&Constants::machine_fn};
    static constinit GlobalUse resolve_path{&Constants::resolve_path_fn};
    const Constants& k = f.k;

    // Every local lives until the function returns, as in the Python
    // function: a finalizer of any of them runs only after the call.
    Ref env = read_override(f, k.*row.variable);
    if (override_applies(f, env)) return env;
    Ref system_fn = f.global(system);
    Ref sysname = f.call(std::move(system_fn));
    Ref bits_fn = f.global(bits);
    Ref word_size = f.call(std::move(bits_fn));
    Ref machine_fn = f.global(machine);
    Ref mach = f.call(std::move(machine_fn));

    Ref path;
    if (f.equals(sysname, k.darwin)) {
        if (f.equals(mach, k.arm64) || f.equals(mach, k.aarch64)) {
            Ref resolve = f.global(resolve_path);
            path = f.call_with_tuple(std::move(resolve), k.*row.mac_arm64_parts);
        } else {
            path = resolve_by_word_size(f, k.mac, word_size, k.*row.mac_file);
        }
    } else if (f.equals(sysname, k.linux_name)) {
        path = resolve_by_word_size(f, k.linux_name, word_size, k.*row.linux_file);
    } else if (f.startswith(sysname, k.win)) {
        path = resolve_by_word_size(f, k.windows, word_size, k.*row.windows_file);
    } else {
        f.raise(PyExc_RuntimeError, k.unknown_os);
    }
    if (f.truth(path)) return path;
    f.raise(PyExc_FileNotFoundError, k.*row.not_found);
}

}  // namespace

Ref solver_lookup_body(Frame& f)
{
    return executable_lookup(f, solver_row);
}

Ref mesher_lookup_body(Frame& f)
{
    return executable_lookup(f, mesher_row);
}

// def veka_call_no_remote() -> "str":
//     from .options import veka_get_option
//     call = veka_get_option("veka.call")
//     if call is None:
//         return veka_call_builtin()
//     lowered = (call if type(call) is str else str(call)).lower()
//     if lowered == "remote" or lowered == "veka.remote":
//         return veka_call_builtin()
//     return call
Ref configured_call_body(Frame& f)
{
    static constinit GlobalUse solver_for_unset{&Constants::solver_lookup_fn};
    static constinit GlobalUse solver_for_remote{&Constants::solver_lookup_fn};
    static constinit ImportCache getter_import;
    const Constants& k = f.k;
    const ImportRequest getter{.module = k.options.get(),
                               .full_name = k.options_full_name.get(),
                               .name = k.veka_get_option.get(),
                               .level = 1};

    Ref veka_get_option = f.import(getter, getter_import);
    Ref call = f.call(veka_get_option, {k.veka_call_option.get()});
    if (call.get() == Py_None) {
        Ref solver_lookup = f.global(solver_for_unset);
        return f.call(std::move(solver_lookup));
    }
    Ref text = PyUnicode_CheckExact(call.get()) ? call.share() : f.str(call);
    Ref lowered = f.lower(std::move(text));
    const bool remote = f.equals(lowered, k.remote) || f.equals(lowered, k.veka_remote);
    lowered.reset();  // the lowered text is a temporary of the comparisons
    if (remote) {
        Ref solver_lookup = f.global(solver_for_remote);
        return f.call(std::move(solver_lookup));
    }
    return call;
}

// def veka_remote_script() -> "Optional[str]":
//     env = os.environ.get("VEKA_REMOTE_BIN")
//     if env and os.path.exists(env):
//         return env
//     path = _resolve_path(*REMOTE_SCRIPT_PARTS)
//     return path
Ref remote_script_body(Frame& f)
{
    static constinit GlobalUse resolve_path{&Constants::resolve_path_fn};
    const Constants& k = f.k;

    Ref env = read_override(f, k.veka_remote_bin_variable);
    if (override_applies(f, env)) return env;
    Ref resolve = f.global(resolve_path);
    return f.call_with_tuple(std::move(resolve), k.remote_script_parts);
}

}  // namespace veka
