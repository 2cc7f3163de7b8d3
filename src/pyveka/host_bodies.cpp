// The host classification and the package paths: the bodies of `_bits`,
// `_system`, `_machine`, `_package_root` and `_resolve_path`. Each reads like
// the Python function quoted above it, in the same order of operations.
#include "bodies.hpp"
#include "body_call.hpp"

#include <utility>

namespace veka {

// def _bits() -> "str":
//     return "64" if os.sys.maxsize > 2**32 else "32"
Ref bits_body(BodyCall& f)
{
    const Constants& k = f.k;
    Ref os_module = f.global(k.os);
    Ref sys_module = f.attr(std::move(os_module), k.sys);
    Ref maxsize = f.attr(std::move(sys_module), k.maxsize);
    const bool wide = f.greater(std::move(maxsize), k.two_to_the_32);
    return wide ? k.sixty_four.share() : k.thirty_two.share();
}

// def _system() -> "str":
//     return platform.system().lower()
Ref system_body(BodyCall& f)
{
    const Constants& k = f.k;
    Ref platform_module = f.global(k.platform);
    Ref reported = f.call_method(std::move(platform_module), k.system);
    return f.lower(std::move(reported));
}

// def _machine() -> "str":
//     return platform.machine().lower()
Ref machine_body(BodyCall& f)
{
    const Constants& k = f.k;
    Ref platform_module = f.global(k.platform);
    Ref reported = f.call_method(std::move(platform_module), k.machine);
    return f.lower(std::move(reported));
}

// def _package_root() -> "str":
//     return os.path.dirname(os.path.abspath(__file__))
Ref package_root_body(BodyCall& f)
{
    const Constants& k = f.k;
    Ref os_module = f.global(k.os);
    Ref os_path = f.attr(std::move(os_module), k.path);
    Ref dirname = f.attr(std::move(os_path), k.dirname);
    os_module = f.global(k.os);
    os_path = f.attr(std::move(os_module), k.path);
    Ref abspath = f.attr(std::move(os_path), k.abspath);
    Ref module_file = f.global(k.module_file);
    Ref absolute = f.call(std::move(abspath), {std::move(module_file)});
    return f.call(std::move(dirname), {std::move(absolute)});
}

// def _resolve_path(*parts: "str") -> "Optional[str]":
//     path = os.path.join(_package_root(), *parts)
//     if os.path.exists(path):
//         return path
//     return None
Ref resolve_path_body(BodyCall& f)
{
    const Constants& k = f.k;
    Ref os_module = f.global(k.os);
    Ref os_path = f.attr(std::move(os_module), k.path);
    Ref join = f.attr(std::move(os_path), k.join);
    Ref package_root = f.global(k.package_root_fn);
    Ref root = f.call(std::move(package_root));
    Ref path = f.call_prepended(std::move(join), std::move(root), f.args());
    os_module = f.global(k.os);
    os_path = f.attr(std::move(os_module), k.path);
    Ref found = f.call_method(std::move(os_path), k.exists, {path});
    if (f.truth(std::move(found))) return path;
    return Ref::borrow(Py_None);
}

}  // namespace veka
