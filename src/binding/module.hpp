// Module life: one module object per process, created and executed once
// (two-step initialisation), its body defined by the module's own surface.
#pragma once

#include "ref.hpp"

namespace qv {

struct ModuleSurface {
    const char* name;            // the last component of the import name
    const char* qualified_name;  // the full import name
    const char* doc;
    void (*define)(Borrowed module);  // the body: every attribute, in order
};

// What the extension's init function returns for `surface` (a static).
PyObject* module_init(const ModuleSurface& surface);

}  // namespace qv
