// The argument binder: from a vectorcall to one checked argument per
// parameter, or the TypeError (or conversion error) that the first failure
// raises.
#pragma once

#include "function.hpp"

namespace qv {

struct BoundCall {
    PyObject* slots[max_params] = {};  // borrowed from the call, the defaults or `converted`
    Ref converted[max_params];         // numbers converted with int() / float()
};

// `name` is the callable's name for messages; `names` and `defaults` hold one
// entry per parameter (defaults null where the parameter is required).
void bind(const Signature& sig, const char* name, PyObject* const* names, PyObject* const* defaults,
          PyObject* const* args, size_t nargsf, PyObject* kwnames, BoundCall& out);

}  // namespace qv
