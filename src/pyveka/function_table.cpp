// The module's function table and its docstrings: what each of the nine
// functions shows (function_table.hpp), in the order the exec step binds them.
#include "function_table.hpp"

#include "bodies.hpp"

namespace veka {

const char module_doc[] =
    "\n"
    "Python equivalents of R-VEKA's veka.call helpers.\n"
    "\n"
    "We try to locate binaries relative to this package directory, with the same\n"
    "layout used in R-VEKA:\n"
    "\n"
    "- mac (x86_64):   bin/mac/<32|64>bit/veka.run\n"
    "- mac.arm64:      bin/mac.arm64/veka.run\n"
    "- linux:          bin/linux/<32|64>bit/veka.mkl.run\n"
    "- windows:        bin/windows/<32|64>bit/veka.exe\n"
    "\n"
    "Same for grelvin: .../grelvin.run (or .exe on Windows)\n"
    "\n"
    "Environment overrides:\n"
    "- VEKA_BIN        (path to veka.* binary)\n"
    "- GRELVIN_BIN     (path to grelvin.* binary)\n"
    "- VEKA_REMOTE_BIN (path to bin/remote/veka.remote)\n";

namespace {

constexpr const char* parts_locals[] = {"parts", "path"};
constexpr const char* lookup_locals[] = {"env", "sysname", "bits", "mach", "path"};
constexpr const char* configured_call_locals[] = {"veka_get_option", "call"};
constexpr const char* remote_script_locals[] = {"env", "path"};

constexpr const char solver_doc[] =
    "Return the built-in path to the veka executable for this OS/arch.";
constexpr const char configured_call_doc[] =
    "\n"
    "    Return the current veka.call (if set), except if it is 'remote'/'veka.remote',\n"
    "    then return the built-in path instead.\n"
    "    (This is wired into options.get to avoid recursion.)\n"
    "    ";
constexpr const char mesher_doc[] =
    "Return the built-in path to the grelvin executable for this OS/arch.";
constexpr const char remote_script_doc[] =
    "\n"
    "    Return the path to the remote launcher script if present, else None.\n"
    "    ";

constexpr Parameters none = Parameters::none;
constexpr Parameters varargs = Parameters::variadic_parts;

// clang-format off: a table, one function per row
constexpr FunctionRow rows[] = {
    {"_bits",                none,    nullptr, "str",           nullptr,             {},                     bits_body},
    {"_system",              none,    nullptr, "str",           nullptr,             {},                     system_body},
    {"_machine",             none,    nullptr, "str",           nullptr,             {},                     machine_body},
    {"_package_root",        none,    nullptr, "str",           nullptr,             {},                     package_root_body},
    {"_resolve_path",        varargs, "str",   "Optional[str]", nullptr,             parts_locals,           resolve_path_body},
    {"veka_call_builtin",    none,    nullptr, "str",           solver_doc,          lookup_locals,          solver_lookup_body},
    {"veka_call_no_remote",  none,    nullptr, "str",           configured_call_doc, configured_call_locals, configured_call_body},
    {"grelvin_call_builtin", none,    nullptr, "str",           mesher_doc,          lookup_locals,          mesher_lookup_body},
    {"veka_remote_script",   none,    nullptr, "Optional[str]", remote_script_doc,   remote_script_locals,   remote_script_body},
};
// clang-format on

}  // namespace

std::span<const FunctionRow> function_table()
{
    return rows;
}

}  // namespace veka
