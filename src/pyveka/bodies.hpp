// The nine function bodies, in the order of the module's function table
// (function_table.cpp): host_bodies.cpp and lookup_bodies.cpp.
#pragma once

#include "owned_ref.hpp"

namespace veka {

class BodyCall;

Ref bits_body(BodyCall& f);
Ref system_body(BodyCall& f);
Ref machine_body(BodyCall& f);
Ref package_root_body(BodyCall& f);
Ref resolve_path_body(BodyCall& f);
Ref solver_lookup_body(BodyCall& f);
Ref configured_call_body(BodyCall& f);
Ref mesher_lookup_body(BodyCall& f);
Ref remote_script_body(BodyCall& f);

}  // namespace veka
