// The lookups: the bodies of `veka_call_builtin`, `veka_call_no_remote`,
// `grelvin_call_builtin` and `veka_remote_script`. Each reads like the Python
// function quoted above it, in the same order of operations.
#include "body_ops.hpp"

namespace veka {
namespace {

// env = os.environ.get(VARIABLE)
// if env and os.path.exists(env):
//     return env
// An empty Ref when the override does not apply.
Ref existing_override(Frame& f, const Ref& variable)
{
    static constinit GlobalUse os_for_environ{&Constants::os};
    static constinit GlobalUse os_for_exists{&Constants::os};
    static constinit AttributeUse environ_use{&Constants::environ};
    static constinit AttributeUse path{&Constants::path};
    static constinit AttributeUse exists_use{&Constants::exists};
    Ref os_module = f.global(os_for_environ);
    Ref environ = f.attr(os_module, environ_use);
    Ref env = f.call_method(environ, f.k.get, {variable.get()});
    if (!f.truth(env)) return {};
    os_module = f.global(os_for_exists);
    Ref os_path = f.attr(os_module, path);
    Ref exists = f.call_method(os_path, exists_use, {env.get()});
    if (!f.truth(exists)) return {};
    return env;
}

// def <lookup>() -> "str":
//     <the override, when it exists>
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

    if (Ref env = existing_override(f, k.*row.variable)) return env;
    Ref system_fn = f.global(system);
    Ref sysname = f.call(system_fn);
    Ref bits_fn = f.global(bits);
    Ref word_size = f.call(bits_fn);
    Ref machine_fn = f.global(machine);
    Ref mach = f.call(machine_fn);

    // _resolve_path("bin", platform_dir, f"{bits}bit", file)
    auto by_word_size = [&](const Ref& platform_dir, const Ref& file) {
        Ref resolve = f.global(resolve_path);
        Ref word_size_dir = f.word_size_directory(word_size);
        return f.call(resolve, {k.bin.get(), platform_dir.get(), word_size_dir.get(), file.get()});
    };
    Ref path;
    if (f.equals(sysname, k.darwin)) {
        if (f.equals(mach, k.arm64) || f.equals(mach, k.aarch64)) {
            Ref resolve = f.global(resolve_path);
            path = f.call_with_tuple(resolve, k.*row.mac_arm64_parts);
        } else {
            path = by_word_size(k.mac, k.*row.mac_file);
        }
    } else if (f.equals(sysname, k.linux)) {
        path = by_word_size(k.linux, k.*row.linux_file);
    } else if (f.startswith(sysname, k.win)) {
        path = by_word_size(k.windows, k.*row.windows_file);
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
    static constinit SiblingImport getter{&Constants::options, &Constants::options_full_name,
                                          &Constants::veka_get_option_fromlist,
                                          {&Constants::veka_get_option}};
    const Constants& k = f.k;

    Ref veka_get_option = f.import_from_sibling(getter);
    Ref call = f.call(veka_get_option, {k.veka_call_option.get()});
    if (call.get() == Py_None) {
        Ref solver_lookup = f.global(solver_for_unset);
        return f.call(solver_lookup);
    }
    Ref text = PyUnicode_CheckExact(call.get()) ? call.share() : f.str(call);
    Ref lowered = f.call_method(text, k.lower);
    if (f.equals(lowered, k.remote) || f.equals(lowered, k.veka_remote)) {
        Ref solver_lookup = f.global(solver_for_remote);
        return f.call(solver_lookup);
    }
    return call;
}

// def veka_remote_script() -> "Optional[str]":
//     <the override, when it exists>
//     path = _resolve_path(*REMOTE_SCRIPT_PARTS)
//     return path
Ref remote_script_body(Frame& f)
{
    static constinit GlobalUse resolve_path{&Constants::resolve_path_fn};
    const Constants& k = f.k;

    if (Ref env = existing_override(f, k.veka_remote_bin_variable)) return env;
    Ref resolve = f.global(resolve_path);
    return f.call_with_tuple(resolve, k.remote_script_parts);
}

}  // namespace veka
