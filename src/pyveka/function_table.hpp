// The module's nine functions as a table: what the exec step makes of each
// row (its name, signature, annotations and docstring) and the body it runs.
#pragma once

#include "owned_ref.hpp"

#include <cstdint>
#include <span>

namespace veka {

class BodyCall;
using Body = Ref (*)(BodyCall&);

// The module's full name: its key in sys.modules, its functions' __module__,
// and the prefix of their traceback entries' names.
inline constexpr char module_full_name[] = "pyveka.veka_call";

enum class Parameters : std::uint8_t { none, variadic_parts };

// One row of the module's function table.
struct FunctionRow {
    const char* name;
    Parameters parameters;
    const char* parts_annotation;  // only for Parameters::variadic_parts
    const char* return_annotation;
    const char* doc;  // nullptr: no docstring
    std::span<const char* const> local_names;
    Body body;
};

// The nine rows, in the order the exec step binds them.
std::span<const FunctionRow> function_table();

// The module's docstring.
extern const char module_doc[];

}  // namespace veka
