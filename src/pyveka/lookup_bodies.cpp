// The lookups: the bodies of `veka_call_builtin`, `veka_call_no_remote`,
// `grelvin_call_builtin` and `veka_remote_script`. Each reads like the Python
// function quoted above it, in the same order of operations.
#include "bodies.hpp"
#include "body_call.hpp"

#include <utility>

namespace veka {
namespace {

// env = os.environ.get(VARIABLE)
Ref read_override(BodyCall& f, const Ref& variable)
{
    const Constants& k = f.k;
    Ref os_module = f.global(k.os);
    Ref environment = f.attr(std::move(os_module), k.environ_name);
    return f.call_method(std::move(environment), k.get, {variable});
}

// env and os.path.exists(env)
bool override_applies(BodyCall& f, const Ref& env)
{
    const Constants& k = f.k;
    if (!f.truth(env)) return false;
    Ref os_module = f.global(k.os);
    Ref os_path = f.attr(std::move(os_module), k.path);
    Ref exists = f.call_method(std::move(os_path), k.exists, {env});
    return f.truth(std::move(exists));
}

// _resolve_path("bin", platform_dir, f"{bits}bit", file)
Ref resolve_by_word_size(BodyCall& f, const Ref& platform_dir, const Ref& word_size,
                         const Ref& file)
{
    const Constants& k = f.k;
    Ref resolve_path = f.global(k.resolve_path_fn);
    Ref word_size_dir = f.word_size_directory(word_size);
    return f.call(std::move(resolve_path), {k.bin, platform_dir, std::move(word_size_dir), file});
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
Ref executable_lookup(BodyCall& f, const ExecutableProgram& p)
{
    const Constants& k = f.k;
    // Every local lives until the function returns, as in the Python
    // function: a finalizer of any of them runs only after the call.
    Ref env = read_override(f, p.variable);
    if (override_applies(f, env)) return env;
    Ref system = f.global(k.system_fn);
    Ref sysname = f.call(std::move(system));
    Ref bits = f.global(k.bits_fn);
    Ref word_size = f.call(std::move(bits));
    Ref machine = f.global(k.machine_fn);
    Ref mach = f.call(std::move(machine));

    Ref path;
    if (f.equals(sysname, k.darwin)) {
        if (f.equals(mach, k.arm64) || f.equals(mach, k.aarch64)) {
            Ref resolve_path = f.global(k.resolve_path_fn);
            path = f.call_with_tuple(std::move(resolve_path), p.mac_arm64_parts);
        } else {
            path = resolve_by_word_size(f, k.mac, word_size, p.mac_file);
        }
    } else if (f.equals(sysname, k.linux_name)) {
        path = resolve_by_word_size(f, k.linux_name, word_size, p.linux_file);
    } else if (f.startswith(sysname, k.win)) {
        path = resolve_by_word_size(f, k.windows, word_size, p.windows_file);
    } else {
        f.raise(PyExc_RuntimeError, k.unknown_os);
    }
    if (f.truth(path)) return path;
    f.raise(PyExc_FileNotFoundError, p.not_found);
}

}  // namespace

Ref solver_lookup_body(BodyCall& f)
{
    return executable_lookup(f, f.k.solver);
}

Ref mesher_lookup_body(BodyCall& f)
{
    return executable_lookup(f, f.k.mesher);
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
Ref configured_call_body(BodyCall& f)
{
    const Constants& k = f.k;
    const ImportRequest getter{.module = k.options.get(),
                               .full_name = k.options_full_name.text.get(),
                               .name = k.veka_get_option.text.get(),
                               .level = 1};

    Ref veka_get_option = f.import_name(getter, k.options_full_name, k.veka_get_option);
    Ref call = f.call(veka_get_option, {k.veka_call_option});
    if (call.get() == Py_None) {
        Ref solver_lookup = f.global(k.solver_lookup_fn);
        return f.call(std::move(solver_lookup));
    }
    Ref text = PyUnicode_CheckExact(call.get()) ? call.share() : f.str(call);
    Ref lowered = f.lower(std::move(text));
    const bool remote = f.equals(lowered, k.remote) || f.equals(lowered, k.veka_remote);
    lowered.reset();  // the lowered text is a temporary of the comparisons
    if (remote) {
        Ref solver_lookup = f.global(k.solver_lookup_fn);
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
Ref remote_script_body(BodyCall& f)
{
    const Constants& k = f.k;
    Ref env = read_override(f, k.veka_remote_bin_variable);
    if (override_applies(f, env)) return env;
    Ref resolve_path = f.global(k.resolve_path_fn);
    return f.call_with_tuple(std::move(resolve_path), k.remote_script_parts);
}

}  // namespace veka
