// The host classification and the package paths: the bodies of `_bits`,
// `_system`, `_machine`, `_package_root` and `_resolve_path`. Each reads like
// the Python function quoted above it, in the same order of operations.
#include "body_ops.hpp"

#include <utility>

namespace veka {

// def _bits() -> "str":
//     return "64" if os.sys.maxsize > 2**32 else "32"
Ref bits_body(Frame& f)
{
    static constinit GlobalUse os{&Constants::os};
    static constinit AttributeUse sys{&Constants::sys};
    static constinit AttributeUse maxsize{&Constants::maxsize};
    Ref os_module = f.global(os);
    Ref sys_module = f.attr(std::move(os_module), sys);
    Ref maxsize_value = f.attr(std::move(sys_module), maxsize);
    const bool wide = f.greater(std::move(maxsize_value), f.k.two_to_the_32);
    return wide ? f.k.sixty_four.share() : f.k.thirty_two.share();
}

// def _system() -> "str":
//     return platform.system().lower()
Ref system_body(Frame& f)
{
    static constinit GlobalUse platform{&Constants::platform};
    static constinit AttributeUse system{&Constants::system};
    Ref platform_module = f.global(platform);
    Ref reported = f.call_method(std::move(platform_module), system);
    return f.lower(std::move(reported));
}

// def _machine() -> "str":
//     return platform.machine().lower()
Ref machine_body(Frame& f)
{
    static constinit GlobalUse platform{&Constants::platform};
    static constinit AttributeUse machine{&Constants::machine};
    Ref platform_module = f.global(platform);
    Ref reported = f.call_method(std::move(platform_module), machine);
    return f.lower(std::move(reported));
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
    Ref os_path = f.attr(std::move(os_module), path_for_dirname);
    Ref dirname = f.attr(std::move(os_path), dirname_use);
    os_module = f.global(os_for_abspath);
    os_path = f.attr(std::move(os_module), path_for_abspath);
    Ref abspath = f.attr(std::move(os_path), abspath_use);
    Ref module_file = f.global(file);
    Ref absolute = f.call(std::move(abspath), std::move(module_file));
    return f.call(std::move(dirname), std::move(absolute));
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
    Ref os_path = f.attr(std::move(os_module), path_for_join);
    Ref join = f.attr(std::move(os_path), join_use);
    Ref package_root_fn = f.global(package_root);
    Ref root = f.call(std::move(package_root_fn));
    Ref path = f.call_prepended(std::move(join), std::move(root), f.args());
    os_module = f.global(os_for_exists);
    os_path = f.attr(std::move(os_module), path_for_exists);
    Ref found = f.call_method(std::move(os_path), exists_use, {path.get()});
    if (f.truth(std::move(found))) return path;
    return Ref::borrow(Py_None);
}

}  // namespace veka
