// Process-wide state (all state is process-wide; the module has none of its
// own) and the lookup of module-level names against it.
#pragma once

#include "core/ref.hpp"

namespace interceptor {

struct ProcessState {
    long long interpreter_id = -1;  // the one interpreter allowed to load us
    Ref module;                     // the one module object, once executed
    Ref globals;                    // its namespace
    Ref builtins;                   // the builtins module's namespace
};
// Never destroyed (see process.cpp).
extern ProcessState& state;

// A module-level name, looked up at call time: namespace first, then builtins.
Ref global(PyObject* name);

}  // namespace interceptor
