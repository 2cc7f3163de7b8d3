// The host classification and the package paths: the bodies of `_bits`,
// `_system`, `_machine`, `_package_root` and `_resolve_path`. Each reads like
// the Python function quoted above it, in the same order of operations.
#include "body_ops.hpp"

namespace veka {

// def _bits() -> "str":
//     return "64" if os.sys.maxsize > 2**32 else "32"
Ref bits_body(Frame& f)
{
    static constinit GlobalUse os{&Constants::os};
    static constinit AttributeUse sys{&Constants::sys};
    static constinit AttributeUse maxsize{&Constants::maxsize};
    Ref os_module = f.global(os);
    Ref sys_module = f.attr(os_module, sys);
    Ref maxsize_value = f.attr(sys_module, maxsize);
    const bool wide = f.greater(maxsize_value, f.k.two_to_the_32);
    return wide ? f.k.sixty_four.share() : f.k.thirty_two.share();
}

// def _system() -> "str":
//     return platform.system().lower()
Ref system_body(Frame& f)
{
    static constinit GlobalUse platform{&Constants::platform};
    static constinit AttributeUse system{&Constants::system};
    Ref platform_module = f.global(platform);
    Ref reported = f.call_method(platform_module, system);
    return f.lower(reported);
}

// def _machine() -> "str":
//     return platform.machine().lower()
Ref machine_body(Frame& f)
{
    static constinit GlobalUse platform{&Constants::platform};
    static constinit AttributeUse machine{&Constants::machine};
    Ref platform_module = f.global(platform);
    Ref reported = f.call_method(platform_module, machine);
    return f.lower(reported);
}

// def _package_root() -> "str":
//     return os.path.dirname(os.path.abspath(__file__))
Ref package_root_body(Frame& f)
{
    static constinit GlobalUse os_for_dirname{&Constants::os};
    static constinit GlobalUse os_for_abspath{&Constants::os};
    static constinit GlobalUse file{&Constants::module_file};
    static constinit AttributeUse path_for_dirname{&Constants::path};
    static constinit AttributeUse path_for_abspath{&Constants::path};
    static constinit AttributeUse dirname_use{&Constants::dirname};
    static constinit AttributeUse abspath_use{&Constants::abspath};
    Ref os_module = f.global(os_for_dirname);
    Ref os_path = f.attr(os_module, path_for_dirname);
    Ref dirname = f.attr(os_path, dirname_use);
    os_module = f.global(os_for_abspath);
    os_path = f.attr(os_module, path_for_abspath);
    Ref abspath = f.attr(os_path, abspath_use);
    Ref module_file = f.global(file);
    Ref absolute = f.call(abspath, {module_file.get()});
    return f.call(dirname, {absolute.get()});
}

// def _resolve_path(*parts: "str") -> "Optional[str]":
//     path = os.path.join(_package_root(), *parts)
//     if os.path.exists(path):
//         return path
//     return None
Ref resolve_path_body(Frame& f)
{
    static constinit GlobalUse os_for_join{&Constants::os};
    static constinit GlobalUse package_root{&Constants::package_root_fn};
    static constinit GlobalUse os_for_exists{&Constants::os};
    static constinit AttributeUse path_for_join{&Constants::path};
    static constinit AttributeUse path_for_exists{&Constants::path};
    static constinit AttributeUse join_use{&Constants::join};
    static constinit AttributeUse exists_use{&Constants::exists};
    Ref os_module = f.global(os_for_join);
    Ref os_path = f.attr(os_module, path_for_join);
    Ref join = f.attr(os_path, join_use);
    Ref package_root_fn = f.global(package_root);
    Ref root = f.call(package_root_fn);
    Ref path = f.call_prepended(join, root, f.args());
    os_module = f.global(os_for_exists);
    os_path = f.attr(os_module, path_for_exists);
    Ref found = f.call_method(os_path, exists_use, {path.get()});
    if (f.truth(found)) return path;
    return Ref::borrow(Py_None);
}

}  // namespace veka
