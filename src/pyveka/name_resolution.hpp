// Call-time resolution of module-level names, and the module's imports.
//
// Nothing is remembered between calls: every use of a name looks it up in
// the module namespace (then in builtins), and every import asks sys.modules
// (then the import system) again, as the Python statements they stand for do.
#pragma once

#include "errors.hpp"
#include "shared_state.hpp"

namespace veka {

// The value of the module-level name `name`: the module namespace
// `namespace_dict`, then the builtins module; NameError when neither has it.
Ref resolve_global(const Constants& k, PyObject* namespace_dict, PyObject* name);

// One import: `import <module>` (name null) or `from <module> import <name>`,
// with `level` leading dots; `full_name` is the module's key in sys.modules.
struct ImportRequest {
    PyObject* module;
    PyObject* full_name;
    PyObject* name;
    int level;
};

// Runs an import as the module's every import runs: the module from
// `loaded_modules` (sys.modules) when it is there (for a from-import, only
// when it has the name), else the interpreter's import system with
// `namespace_dict` as globals and an empty dict as locals. An override of
// builtins.__import__ is not consulted. A from-import of a name the module
// lacks raises ImportError "cannot import name ...".
Ref run_import(const ImportRequest& request, PyObject* loaded_modules, PyObject* namespace_dict);

}  // namespace veka
