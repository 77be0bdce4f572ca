// Late binding: module-level names are looked up in the module's namespace at
// the moment of use, never cached.
#pragma once

#include "ref.hpp"

namespace qv::ns {

// The module object of this process (set when the module executes).
Borrowed module();
void remember(Borrowed module);
void forget();

// The value bound to `name` in the module, else in the builtins; NameError
// when neither has it.
Ref lookup(const Name& name);

}  // namespace qv::ns
