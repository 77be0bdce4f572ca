// Late binding: module-level names are looked up in the module's namespace at
// the moment of use, never cached.
#pragma once

#include "ref.hpp"

namespace qv::lookup {

// The module object of this process (set when the module executes).
Borrowed module();
void remember(Borrowed module);
void forget();

// The value bound to `name` in the module, else in the builtins; NameError
// when neither has it.
Ref lookup(const Name& name);

// The same, without throwing: null, with the error set, when it fails (for
// handlers that must keep the exception they are handling).
Ref find(const Name& name);

// The value that `name` has in the module now (import: defaults and the
// objects that fast paths compare against).
Ref import_value(const char* name);

// Keeps in `slot`, for the life of the process, the object that import bound
// to `name`. A fast path compares the attribute with it to know that a caller
// has not replaced it since.
void keep_import_value(PyObject*& slot, const Name& name);

}  // namespace qv::lookup
